// Registry scripts: the text a registrar applies. The subset understood:
//
//   HKCR                          the root: HKCR or HKEY_CLASSES_ROOT only
//   {
//       NoRemove AppID            a key that removal leaves in place
//       {
//           '%APPID%' = s 'Name'  a key with its default value
//           Name.EXE              a bare name runs to white space, {, } or =
//           {
//               val AppID = s 'x' a named value of the enclosing key
//           }
//       }
//   }
//
// Quoted texts use single quotation marks, '' for one inside; names and
// texts are expanded from the registrar's placeholders (%NAME%, %%).
// Keywords are matched without regard to case. Everything else (other roots,
// ForceRemove, Delete, value types other than s) is refused with its line.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/framework/placeholders.h"

namespace platform {

struct ScriptValue {
    WString name;
    WString data;
};

struct ScriptKey {
    WString name;
    bool noRemove = false;
    bool hasDefault = false;
    WString defaultValue;
    std::vector<ScriptValue> values;
    std::vector<ScriptKey> subkeys;
};

// The keys below HKEY_CLASSES_ROOT in script order, placeholders expanded.
// False with the reason, naming the line, for anything outside the subset.
bool ParseRegistryScript(WStringView text, const PlaceholderTable& placeholders, std::vector<ScriptKey>* keys,
                         std::string* error);

}  // namespace platform
