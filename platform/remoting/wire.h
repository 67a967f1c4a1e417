// The remoting protocol: every message that crosses a connection between two
// processes, with the layout of each method's arguments and results. The
// page docs/remoting.md describes the same in prose.
//
// A connection is a Unix-domain stream socket. Each message is one frame: a
// 32-bit little-endian length (of what follows, 1 to kMaxFrame bytes), then
// a one-byte frame type and its fields. Integers are little-endian; a GUID
// is Data1, Data2, Data3 little-endian and then Data4's eight bytes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform::remoting::wire {

constexpr std::uint32_t kMagic = 0x4C565254;  // "TRVL"
constexpr std::uint16_t kVersion = 1;
constexpr std::size_t kLengthPrefix = 4;
// The largest frame either side sends or accepts, after the length prefix.
constexpr std::uint32_t kMaxFrame = 1u << 20;
// The greeting's "largest frame" field carries what the sender can do in its
// top bits, which a peer of the first release clamps away with the size (it
// takes the smaller of the field and its own largest frame).
constexpr std::uint32_t kFrameSizeBits = 0x00FFFFFF;
// A server whose class table runs CreateInstance (method 1, below); without
// it, a client creates an instance through the class object.
constexpr std::uint32_t kCanCreateInstance = 1u << 31;
// Frames that may wait for a peer that does not read; past this the peer is
// disconnected (beyond what the socket itself buffers).
constexpr std::size_t kMaxQueuedBytes = 4u << 20;
// Bounds on counts inside a frame (arguments, names, enumerator items).
constexpr std::uint32_t kMaxArguments = 64;
constexpr std::uint32_t kMaxItems = 1024;

enum class FrameType : std::uint8_t {
    // The handshake: the first frame each way.
    Hello = 1,    // client to server: u32 magic, u16 version, u32 largest frame (with kCan* bits)
    Welcome = 2,  // server to client: u32 magic, u16 version, u32 largest frame (with kCan* bits)
    Refused = 3,  // server to client, instead of Welcome: i32 HRESULT; then the server closes

    // Requests: each is answered by exactly one Reply with its call id.
    Request = 4,  // u32 call id, u32 object id, GUID interface, u16 method, the method's arguments

    // Replies.
    Reply = 5,  // u32 call id, i32 HRESULT, ErrorInfo, u8 results follow (0 only for a failure), the results

    // One-way messages: never answered.
    Event = 6,    // u32 object id, GUID interface, u16 method (always Invoke), Invoke's arguments
    Release = 7,  // u32 object id, u32 references given back
};

// Object ids name what one side has handed to the other over this
// connection, and mean nothing on any other. Id 0 is the server's class
// table; exported objects count from 1.
constexpr std::uint32_t kClassTable = 0;

// An object reference inside arguments or results (ObjectRef):
//   u8 kind
//   Null:            nothing more
//   SendersObject:   u32 id, GUID interface, GUID alias; the receiver now
//                    holds one more reference to it. alias is GUID_NULL, or
//                    an interface already handed for this object whose
//                    pointer is the same and whose proxy serves this one
//                    too (so that the receiver answers with that proxy, as
//                    the object itself gives one pointer for both)
//   ReceiversObject: u32 id, GUID interface: one of the receiver's own
//                    objects, coming back
enum class RefKind : std::uint8_t { Null = 0, SendersObject = 1, ReceiversObject = 2 };

// ErrorInfo in a reply: u8 present; when 1: GUID, BSTR source, BSTR
// description, BSTR help file, u32 help context. The caller's thread gets
// it as its error information when the call failed.

// Values: BSTR is a u32 byte count (0xFFFFFFFF for a null string) and the
// UTF-16 code units. Text (an LPOLESTR) is the same without the terminator.
// VARIANT is u16 vt and the value: 1, 2, 4 or 8 bytes for the numbers,
// BOOL, ERROR, CY and DATE; a BSTR; an ObjectRef for DISPATCH and UNKNOWN;
// nothing for EMPTY and NULL. VT_BYREF with one of those types carries the
// value it points to; VT_BYREF|VT_VARIANT a whole VARIANT that is itself
// not by reference. Arrays and records do not cross. TypeInfo (an
// ITypeInfo) is u8 present and, when 1, the GUID of its library and its own
// GUID: the receiver builds it from the contract it shares with the sender.

// Methods are the interfaces' vtable slots. QueryInterface (slot 0) is sent
// on any handed object with GUID IID_IUnknown; AddRef and Release are never
// sent: a proxy holds its references and gives them back in one Release.
namespace method {

// The server's class table (object 0, interface GUID_NULL).
//   GetClassObject   in: GUID clsid, GUID iid            out: ObjectRef
//   CreateInstance   in: GUID clsid, GUID iid            out: ObjectRef
//     the class object's IClassFactory::CreateInstance in the same request
constexpr std::uint16_t kGetClassObject = 0;
constexpr std::uint16_t kCreateClassInstance = 1;

// IUnknown
//   QueryInterface   in: GUID iid                        out: ObjectRef
constexpr std::uint16_t kQueryInterface = 0;

// IClassFactory
//   CreateInstance   in: GUID iid                        out: ObjectRef
//   LockServer       in: i32 lock                        out: -
constexpr std::uint16_t kCreateInstance = 3;
constexpr std::uint16_t kLockServer = 4;

// IDispatch, and the first methods of every dual interface
//   GetTypeInfoCount in: -                               out: u32 count
//   GetTypeInfo      in: u32 index, u32 lcid             out: TypeInfo
//   GetIDsOfNames    in: GUID riid, u32 lcid, u32 n, n Text   out: n i32
//   Invoke           in: i32 dispid, GUID riid, u32 lcid, u16 flags,
//                        u8 present (1 params, 2 result, 4 excepinfo, 8 argerr),
//                        [u32 cArgs, cArgs VARIANT, u32 cNamed, cNamed i32],
//                        [u32 argerr as the caller set it]
//                    out: [u8 set, VARIANT result], [u8 set, EXCEPINFO],
//                        [u32 argerr], the new value of each by-reference
//                        argument in argument order (a VARIANT for
//                        VT_BYREF|VT_VARIANT, else the bare value)
//   EXCEPINFO is u16 wCode, BSTR source, BSTR description, BSTR help file,
//   u32 help context, i32 scode.
constexpr std::uint16_t kGetTypeInfoCount = 3;
constexpr std::uint16_t kGetTypeInfo = 4;
constexpr std::uint16_t kGetIDsOfNames = 5;
constexpr std::uint16_t kInvoke = 6;
// A dual interface's own methods follow in vtable order, each with its
// parameters in order as arguments (LONG 4 bytes, SHORT and VARIANT_BOOL 2,
// FLOAT 4, BSTR; an [out] number with the caller's value, an [out] BSTR not
// at all) and its [out] parameters in order as results.
constexpr std::uint16_t kFirstDualMethod = 7;

// IConnectionPointContainer
//   EnumConnectionPoints  in: -                          out: ObjectRef
//   FindConnectionPoint   in: GUID iid                   out: ObjectRef
constexpr std::uint16_t kEnumConnectionPoints = 3;
constexpr std::uint16_t kFindConnectionPoint = 4;

// IConnectionPoint
//   GetConnectionInterface       in: -                   out: GUID
//   GetConnectionPointContainer  in: -                   out: ObjectRef
//   Advise                       in: ObjectRef sink      out: u32 cookie
//   Unadvise                     in: u32 cookie          out: -
//   EnumConnections              in: -                   out: ObjectRef
constexpr std::uint16_t kGetConnectionInterface = 3;
constexpr std::uint16_t kGetConnectionPointContainer = 4;
constexpr std::uint16_t kAdvise = 5;
constexpr std::uint16_t kUnadvise = 6;
constexpr std::uint16_t kEnumConnections = 7;

// IEnumConnectionPoints and IEnumConnections
//   Next   in: u32 count, u8 fetched wanted   out: u32 n, n items (ObjectRef;
//                                               for connections ObjectRef, u32 cookie)
//   Skip   in: u32 count                      out: -
//   Reset  in: -                              out: -
//   Clone  in: -                              out: ObjectRef
constexpr std::uint16_t kNext = 3;
constexpr std::uint16_t kSkip = 4;
constexpr std::uint16_t kReset = 5;
constexpr std::uint16_t kClone = 6;

// IProvideClassInfo and IProvideClassInfo2
//   GetClassInfo   in: -                      out: TypeInfo
//   GetGUID        in: u32 kind               out: GUID
constexpr std::uint16_t kGetClassInfo = 3;
constexpr std::uint16_t kGetGUID = 4;

// ISupportErrorInfo
//   InterfaceSupportsErrorInfo  in: GUID iid  out: -
constexpr std::uint16_t kInterfaceSupportsErrorInfo = 3;

// IPropertyNotifySink
//   OnChanged, OnRequestEdit    in: i32 dispid  out: -
constexpr std::uint16_t kOnChanged = 3;
constexpr std::uint16_t kOnRequestEdit = 4;

}  // namespace method
}  // namespace platform::remoting::wire
