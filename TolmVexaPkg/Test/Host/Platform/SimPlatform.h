/** @file
  The simulated platform of the host test bed: firmware services that behave
  like firmware (a handle database, a pool, a variable store, TPL rules, port
  I/O, performance markers) and the outside protocols the driver talks to
  (platform information, platform debug output, the Vexa behind KIV_PROTOCOL).

  The platform is reset before every test (SimMain.cpp) and checked after it:
  leaked pool blocks, overrun guard bytes and a TPL left raised are reported as
  test failures. Firmware rules broken during a test (double free, foreign
  pointer, RaiseTPL to a lower level) fail the test where they happen.

  Include this header first in a test unit: it brings in the standard and
  GoogleTest headers before EDK II's, whose macros (NULL, TRUE, MIN, ...)
  would otherwise leak into them.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef TOLM_SIM_PLATFORM_H_
#define TOLM_SIM_PLATFORM_H_

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

//
// AddressSanitizer (CMake option TOLM_HOST_SANITIZERS): the pool poisons the
// guard behind every block and every quarantined block, so reading them is
// reported. Without it the poisoning macros do nothing. GCC announces the
// sanitizer with __SANITIZE_ADDRESS__, clang through __has_feature.
//
#if defined (__SANITIZE_ADDRESS__)
#define SIM_ADDRESS_SANITIZER  1
#elif defined (__has_feature)
#if __has_feature (address_sanitizer)
#define SIM_ADDRESS_SANITIZER  1
#endif
#endif

#if defined (SIM_ADDRESS_SANITIZER)
#include <sanitizer/asan_interface.h>
#else
#define SIM_ADDRESS_SANITIZER  0
#define ASAN_POISON_MEMORY_REGION(Address, Size)    ((void)(Address), (void)(Size))
#define ASAN_UNPOISON_MEMORY_REGION(Address, Size)  ((void)(Address), (void)(Size))
#endif

#include <TolmVexaCxx.h>
#include <HostGuids.h>

#include <Guid/PerformanceMeasurement.h>
#include <Protocol/KivProtocol.h>
#include <Protocol/PlatformDebugOutput.h>
#include <Protocol/PlatformInfo.h>

namespace Sim {

// ===========================================================================
// Whole platform
// ===========================================================================

///
/// Resets every part of the platform to its power-on state: empty handle
/// database with an image handle, empty pool and variable store, TPL_APPLICATION,
/// no ports mapped, no outside protocol installed, nothing recorded. Then runs
/// the table libraries' constructors, so gImageHandle, gST, gBS and gRT are set.
/// Called by main() before every test; a test may call it again (for example
/// between the runs of an allocation-failure sweep) after checking leaks.
///
void
Reset (
  );

///
/// Runs the end-of-test checks: leaked or overrun pool blocks, TPL not back at
/// TPL_APPLICATION. Each finding is a test failure. Called by main() after
/// every test.
///
void
CheckAtEnd (
  );

EFI_HANDLE
ImageHandle (
  );

EFI_SYSTEM_TABLE *
SystemTable (
  );

///
/// ASCII rendering of a CHAR16 string (non-ASCII characters as '?'), for
/// messages and comparisons in tests.
///
std::string
Ascii (
  const CHAR16  *Text
  );

std::u16string
Wide (
  const std::string  &Ascii
  );

std::string
GuidText (
  const EFI_GUID  &Guid
  );

// ===========================================================================
// Pool (AllocatePool / FreePool)
// ===========================================================================

struct PoolBlock {
  void               *Address;
  size_t             Size;
  EFI_MEMORY_TYPE    Type;
  uint64_t           Number;    ///< 1-based allocation number since the reset
  std::string        Tag;       ///< who allocated it inside the platform ("" for the module)
};

///
/// Every successful allocation is recorded with its size; fresh blocks are
/// filled with GarbageByte (so code relying on zeroed pool is caught) and
/// followed by guard bytes that are checked on FreePool and at the end of the
/// test. FreePool of an unknown pointer, a pointer inside a block, NULL or a
/// block already freed is a test failure and answers EFI_INVALID_PARAMETER.
/// Under AddressSanitizer the guard bytes and the quarantined blocks are
/// poisoned: any access to them, a read included, ends the test with a report.
///
class PoolState {
public:
  static constexpr UINT8   GarbageByte = 0xA5;
  static constexpr size_t  GuardBytes  = 16;
  /// Memory of the simulated machine: a larger request answers
  /// EFI_OUT_OF_RESOURCES, as firmware's pool does.
  static constexpr size_t  MaxBlock    = 256 * 1024 * 1024;

  ///
  /// The Nth AllocatePool from now on (N >= 1) fails with Status; 0 cancels.
  ///
  void
  FailNthAllocation (
    uint64_t    N,
    EFI_STATUS  Status = EFI_OUT_OF_RESOURCES
    );

  ///
  /// Every AllocatePool from now on fails (until Reset or FailNthAllocation(0)).
  ///
  void
  FailAllAllocations (
    EFI_STATUS  Status = EFI_OUT_OF_RESOURCES
    );

  /// AllocatePool calls since the reset, failed ones included.
  uint64_t
  AllocationCount (
    ) const { return mAttempts; }

  /// AllocatePool calls that were made to fail.
  uint64_t
  FailedAllocations (
    ) const { return mFailed; }

  uint64_t
  FreeCount (
    ) const { return mFrees; }

  std::vector<PoolBlock>
  Live (
    ) const;

  size_t
  LiveCount (
    ) const { return mLive.size (); }

  /// TRUE when Address is the start of a live block.
  bool
  IsLive (
    const void  *Address
    ) const;

  /// Size of the live block starting at Address (0 if none).
  size_t
  SizeOf (
    const void  *Address
    ) const;

  /// Rule breaks seen (double free, foreign pointer, overrun), in order.
  const std::vector<std::string> &
  Findings (
    ) const { return mFindings; }

  ///
  /// One test failure per live block ("leak of N bytes ...") and per overrun
  /// guard; then releases them. Returns the number of leaks.
  ///
  size_t
  ReportLeaks (
    );

  // The platform's own entry points (AllocatePool/FreePool and the fakes).
  EFI_STATUS
  Allocate (
    EFI_MEMORY_TYPE     Type,
    size_t              Size,
    void                **Buffer,
    const std::string   &Tag = ""
    );

  EFI_STATUS
  Free (
    void  *Buffer
    );

  void
  Clear (
    );

private:
  struct Block {
    size_t             Size;
    EFI_MEMORY_TYPE    Type;
    uint64_t           Number;
    std::string        Tag;
  };

  bool
  GuardIntact (
    const void   *Address,
    const Block  &B
    ) const;

  std::map<const void *, Block>   mLive;
  std::map<const void *, size_t>  mFreed;     ///< freed addresses (until reused)
  std::vector<std::string>        mFindings;
  uint64_t                        mAttempts = 0;
  uint64_t                        mFailed   = 0;
  uint64_t                        mFrees    = 0;
  uint64_t                        mFailAt   = 0;
  bool                            mFailAll  = false;
  EFI_STATUS                      mFailStatus = EFI_OUT_OF_RESOURCES;
};

PoolState &
Pool (
  );

///
/// Allocation-failure sweep. Runs Arrange then Act once with no failure to
/// count the allocations N that Act makes, then N more times with allocation k
/// (k = 1..N, counted from the start of Act) failing. Before every run the
/// platform is reset (after leaks of the previous run are reported); Act gets
/// k (0 for the counting run) and asserts what must hold. Returns N.
///
uint64_t
SweepAllocationFailures (
  const std::function<void ()>          &Arrange,
  const std::function<void (uint64_t)>  &Act
  );

// ===========================================================================
// Boot services: handle database, TPL, unsupported slots
// ===========================================================================

/// Installs Interface under Guid on Handle (a new handle when NULL) through the
/// boot service itself; returns the handle. Fails the test on an error.
EFI_HANDLE
InstallProtocol (
  const EFI_GUID  &Guid,
  void            *Interface,
  EFI_HANDLE      Handle = nullptr
  );

/// Removes Guid from Handle through the boot service; fails the test on an error.
void
UninstallProtocol (
  EFI_HANDLE      Handle,
  const EFI_GUID  &Guid,
  void            *Interface
  );

/// One interface a fake publishes on a handle of its own: installed at most
/// once, removed on Uninstall, and forgotten (not removed) when the platform
/// is reset with a fresh handle database.
class PublishedProtocol {
public:
  void
  Install (
    const EFI_GUID  &Guid,
    void            *Interface
    );

  void
  Uninstall (
    );

  void
  Forget (
    ) { mHandle = nullptr; }

  bool
  Installed (
    ) const { return mHandle != nullptr; }

  EFI_HANDLE
  Handle (
    ) const { return mHandle; }

private:
  const EFI_GUID  *mGuid      = nullptr;
  void            *mInterface = nullptr;
  EFI_HANDLE      mHandle     = nullptr;
};

/// Handles carrying Guid, in installation order.
std::vector<EFI_HANDLE>
HandlesWith (
  const EFI_GUID  &Guid
  );

/// The interface of Guid on Handle, or NULL.
void *
InterfaceOn (
  EFI_HANDLE      Handle,
  const EFI_GUID  &Guid
  );

bool
IsHandle (
  EFI_HANDLE  Handle
  );

/// Number of live handles (the image handle included).
size_t
HandleCount (
  );

struct TplCall {
  bool       Raise;       ///< RaiseTPL (true) or RestoreTPL (false)
  EFI_TPL    Argument;
  EFI_TPL    Before;      ///< current TPL when called
};

///
/// The current TPL starts at TPL_APPLICATION. RaiseTPL to a level below the
/// current one, RestoreTPL to a level above it, and a level above
/// TPL_HIGH_LEVEL are test failures.
///
struct TplState {
  EFI_TPL                 Current = TPL_APPLICATION;
  std::vector<TplCall>    Calls;
};

TplState &
Tpl (
  );

///
/// Simulated time in 100 ns units, moved on by Stall and by tests (a slow
/// device). Timer events without a notification function (CreateEvent
/// EVT_TIMER, SetTimer relative or cancel, CheckEvent, CloseEvent) fire on
/// it; an event left open at the end of a test is a failure.
///
struct ClockState {
  UINT64    Now = 0;
  size_t    OpenEvents = 0;
  bool      FailCreate = false;   ///< CreateEvent answers EFI_OUT_OF_RESOURCES
};

ClockState &
Clock (
  );

///
/// Calls of table slots the platform does not implement (they answer
/// EFI_UNSUPPORTED), as "BootServices+0x<offset>" / "RuntimeServices+0x<offset>".
///
const std::vector<std::string> &
UnsupportedCalls (
  );

// ===========================================================================
// Runtime services: variables and time
// ===========================================================================

enum class AuthPolicy {
  ///
  /// A time-based authenticated write (attribute bit 0x20) whose data starts
  /// with a well-formed 40-byte EFI_VARIABLE_AUTHENTICATION_2 carrying no
  /// certificate data (dwLength 24, wRevision 0x0200, wCertificateType 0x0EF1,
  /// CertType EFI_CERT_TYPE_PKCS7_GUID, time stamp Pad1/Nanosecond/TimeZone/
  /// Daylight/Pad2 all 0) stores the bytes after the descriptor; with nothing
  /// after it, deletes the variable (EFI_NOT_FOUND if absent). Anything else
  /// with bit 0x20 set: EFI_SECURITY_VIOLATION. The platform this driver targets.
  ///
  Accepting,
  ///
  /// Every write with bit 0x20 set answers EFI_SECURITY_VIOLATION (OVMF).
  ///
  Refusing,
  ///
  /// No authenticated variables (EDK II's variable service with
  /// AuthVariableLibNull, a platform built without secure boot): every write
  /// with bit 0x20 set answers EFI_INVALID_PARAMETER, and a delete with
  /// attributes 0 deletes any variable, an authenticated one too.
  ///
  Unsupported
};

struct VariableEntry {
  UINT32                  Attributes;
  std::vector<UINT8>      Data;
};

struct VariableCall {
  enum Kind { Get, Set, GetNextName } Op;
  std::string             Name;          ///< ASCII rendering of the name
  EFI_GUID                Guid;
  UINT32                  Attributes;    ///< Set: as passed; Get: as returned (0 if none)
  UINTN                   DataSizeIn;    ///< Set: DataSize; Get: *DataSize on entry
  UINTN                   DataSizeOut;   ///< Get: *DataSize on return
  std::vector<UINT8>      Data;          ///< Set: the payload passed; Get: the bytes returned
  EFI_STATUS              Status;
};

class VariableStore {
public:
  void
  SetPolicy (
    AuthPolicy  Policy
    ) { mPolicy = Policy; }

  AuthPolicy
  Policy (
    ) const { return mPolicy; }

  // Direct access to the store (no call recorded).
  void
  Put (
    const std::string         &Name,
    const EFI_GUID            &Guid,
    UINT32                    Attributes,
    const std::vector<UINT8>  &Data
    );

  bool
  Has (
    const std::string  &Name,
    const EFI_GUID     &Guid
    ) const;

  std::optional<VariableEntry>
  Find (
    const std::string  &Name,
    const EFI_GUID     &Guid
    ) const;

  void
  Remove (
    const std::string  &Name,
    const EFI_GUID     &Guid
    );

  size_t
  Count (
    ) const { return mStore.size (); }

  // Failure injection.
  /// Every GetVariable of Name (any GUID) answers Status.
  void
  FailGet (
    const std::string  &Name,
    EFI_STATUS         Status
    ) { mFailGet[Name] = Status; }

  /// Every GetVariable of Name (any GUID) that passes a data buffer (a read
  /// of the value, not a size query) answers Status.
  void
  FailRead (
    const std::string  &Name,
    EFI_STATUS         Status
    ) { mFailRead[Name] = Status; }

  /// Every SetVariable of Name (any GUID) answers Status; nothing is changed.
  void
  FailSet (
    const std::string  &Name,
    EFI_STATUS         Status
    ) { mFailSet[Name] = Status; }

  /// The Nth SetVariable from now on (N >= 1) answers Status; 0 cancels.
  void
  FailNthSet (
    uint64_t    N,
    EFI_STATUS  Status
    );

  // Records.
  const std::vector<VariableCall> &
  Calls (
    ) const { return mCalls; }

  std::vector<VariableCall>
  SetCalls (
    ) const;

  std::vector<VariableCall>
  GetCalls (
    ) const;

  // Time (GetTime).
  ///
  /// The time GetTime answers. The default has a non-zero Nanosecond,
  /// TimeZone, Daylight, Pad1 and Pad2, so callers that must clear them are
  /// caught.
  ///
  static EFI_TIME
  DefaultTime (
    );

  void
  SetTime (
    const EFI_TIME  &Time
    ) { mTime = Time; }

  /// GetTime answers Status (EFI_SUCCESS cancels).
  void
  FailGetTime (
    EFI_STATUS  Status
    ) { mTimeStatus = Status; }

  uint64_t
  GetTimeCalls (
    ) const { return mGetTimeCalls; }

  // The services themselves (called through gRT).
  EFI_STATUS
  GetVariable (
    CHAR16          *Name,
    EFI_GUID        *Guid,
    UINT32          *Attributes,
    UINTN           *DataSize,
    VOID            *Data
    );

  EFI_STATUS
  SetVariable (
    CHAR16          *Name,
    EFI_GUID        *Guid,
    UINT32          Attributes,
    UINTN           DataSize,
    VOID            *Data
    );

  EFI_STATUS
  GetNextVariableName (
    UINTN           *NameSize,
    CHAR16          *Name,
    EFI_GUID        *Guid
    );

  EFI_STATUS
  GetTime (
    EFI_TIME               *Time,
    EFI_TIME_CAPABILITIES  *Capabilities
    );

  void
  Clear (
    );

private:
  struct Key {
    std::u16string    Name;
    EFI_GUID          Guid;
    bool
    operator< (
      const Key  &Other
      ) const;
  };

  EFI_STATUS
  SetInner (
    const Key        &K,
    UINT32           Attributes,
    UINTN            DataSize,
    const UINT8      *Data
    );

  std::map<Key, VariableEntry>        mStore;
  std::vector<VariableCall>           mCalls;
  std::map<std::string, EFI_STATUS>   mFailGet;
  std::map<std::string, EFI_STATUS>   mFailRead;
  std::map<std::string, EFI_STATUS>   mFailSet;
  uint64_t                            mSetCount   = 0;
  uint64_t                            mFailSetAt  = 0;
  EFI_STATUS                          mFailSetStatus = EFI_SUCCESS;
  AuthPolicy                          mPolicy     = AuthPolicy::Accepting;
  EFI_TIME                            mTime       = DefaultTime ();
  EFI_STATUS                          mTimeStatus = EFI_SUCCESS;
  uint64_t                            mGetTimeCalls = 0;
};

VariableStore &
Variables (
  );

// ===========================================================================
// Port I/O (IoRead8/IoWrite8 and the 16/32-bit forms, split into bytes)
// ===========================================================================

///
/// A device model on the I/O port bus. Register it with Ports().Map(); the
/// platform does not own it. Reads of unmapped ports answer 0xFF, writes to
/// them are dropped (and both are logged like any other access).
///
class PortDevice {
public:
  virtual
  ~PortDevice (
    ) = default;

  virtual UINT8
  Read (
    UINT16  Port
    ) = 0;

  virtual void
  Write (
    UINT16  Port,
    UINT8   Value
    ) = 0;
};

struct PortAccess {
  UINT16    Port;
  bool      Write;
  UINT8     Value;       ///< value written, or value read
};

class PortBus {
public:
  /// Routes ports First .. First+Count-1 to Device (replacing earlier mappings).
  void
  Map (
    UINT16      First,
    UINT16      Count,
    PortDevice  *Device
    );

  void
  Unmap (
    PortDevice  *Device
    );

  /// Every byte access since the reset, in order.
  const std::vector<PortAccess> &
  Log (
    ) const { return mLog; }

  /// Bytes written to one port, in order.
  std::vector<UINT8>
  Written (
    UINT16  Port
    ) const;

  UINT8
  Read8 (
    UINT16  Port
    );

  void
  Write8 (
    UINT16  Port,
    UINT8   Value
    );

  void
  Clear (
    );

private:
  std::map<UINT16, PortDevice *>  mMap;
  std::vector<PortAccess>         mLog;
};

PortBus &
Ports (
  );

// ===========================================================================
// CPU: breakpoint trap and dead loop, recorded and resumed
// ===========================================================================

struct CpuState {
  uint64_t                 Breakpoints = 0;
  uint64_t                 DeadLoops   = 0;
  std::function<void ()>   OnBreakpoint;     ///< optional hook, run on each trap
};

CpuState &
Cpu (
  );

// ===========================================================================
// Performance markers
// ===========================================================================

/// A marker as the module passed it to the performance library
/// (PERF_START / PERF_END).
struct PerfCall {
  bool           Start;
  const void     *Handle;
  std::string    Token;
  std::string    Module;
  UINT64         TimeStamp;
};

/// A record as it reached EDKII_PERFORMANCE_MEASUREMENT_PROTOCOL.
struct PerfRecord {
  PERF_MEASUREMENT_ATTRIBUTE    Attribute;
  const void                    *CallerIdentifier;
  std::string                   String;
  UINT64                        TimeStamp;
  UINT32                        Identifier;
};

class PerformanceFake {
public:
  void
  Install (
    );

  void
  Uninstall (
    );

  bool
  Installed (
    ) const { return mPublished.Installed (); }

  /// Records that reached the protocol.
  const std::vector<PerfRecord> &
  Records (
    ) const { return mRecords; }

  /// Calls of PERF_START/PERF_END by the module (with or without the protocol).
  const std::vector<PerfCall> &
  Calls (
    ) const { return mCalls; }

  void
  Clear (
    );

  // Internal.
  std::vector<PerfRecord>  mRecords;
  std::vector<PerfCall>    mCalls;
  PublishedProtocol        mPublished;
};

PerformanceFake &
Performance (
  );

// ===========================================================================
// PLATFORM_INFO_PROTOCOL
// ===========================================================================

class PlatformInfoFake {
public:
  void
  Install (
    );

  void
  Uninstall (
    );

  bool
  Installed (
    ) const { return mPublished.Installed (); }

  EFI_HANDLE
  Handle (
    ) const { return mPublished.Handle (); }

  void
  SetIsSimics (
    bool  IsSimics
    ) { Record.IsSimics = IsSimics ? 1 : 0; }

  /// GetPlatformInfo answers Status, still with the record (EFI_SUCCESS cancels).
  void
  Fail (
    EFI_STATUS  Status
    ) { mStatus = Status; }

  /// GetPlatformInfo answers EFI_SUCCESS but stores no record address.
  void
  StoreNoRecord (
    bool  NoRecord = true
    ) { mNoRecord = NoRecord; }

  uint64_t
  Calls (
    ) const { return mCalls; }

  PLATFORM_INFO    Record;          ///< the record handed out (bytes around IsSimics 0x5A)

  // Internal.
  PLATFORM_INFO_PROTOCOL    mProtocol;
  PublishedProtocol         mPublished;
  EFI_STATUS                mStatus   = EFI_SUCCESS;
  bool                      mNoRecord = false;
  uint64_t                  mCalls    = 0;
};

PlatformInfoFake &
PlatformInfo (
  );

// ===========================================================================
// PLATFORM_DEBUG_OUTPUT_PROTOCOL
// ===========================================================================

class DebugOutputFake {
public:
  void
  Install (
    );

  void
  Uninstall (
    );

  bool
  Installed (
    ) const { return mPublished.Installed (); }

  UINT32                    Mask = 0xFFFFFFFF;   ///< what GetLevelMask answers
  std::string               Text;                 ///< everything Write received
  std::vector<std::string>  Writes;               ///< one entry per Write call
  std::vector<UINT8>        Selectors;            ///< GetLevelMask arguments

  uint64_t
  GetLevelMaskCalls (
    ) const { return Selectors.size (); }

  // Internal.
  PLATFORM_DEBUG_OUTPUT_PROTOCOL    mProtocol;
  PublishedProtocol                 mPublished;
};

DebugOutputFake &
DebugOutput (
  );

// ===========================================================================
// The Vexa behind KIV_PROTOCOL
// ===========================================================================

/// What the transport answers to one SendCommand.
struct KivAnswer {
  EFI_STATUS              Status     = EFI_SUCCESS;
  UINT16                  Completion = 0;        ///< stored in *ResponseStatus
  std::vector<UINT8>      Response;              ///< copied into a fresh pool buffer
  bool                    NoBuffer   = false;    ///< store NULL instead of a buffer
  std::optional<UINT32>   SizeOverride;          ///< stored in *ResponseBufferSize instead of Response.size()
  bool                    StoreNothing = false;  ///< leave all three out-values untouched
};

/// A record of the pending list, as the Vexa sends it.
struct PendingTask {
  UINT8     TaskType  = 9;
  UINT8     CertNum   = 1;
  UINT8     Operation = 0xAA;
  UINT16    CertSize  = 0;
  UINT8     Reserved  = 0;
};

/// One SendCommand as the transport saw it.
struct KivRequest {
  UINT16                Command;
  std::vector<UINT8>    Bytes;             ///< copy of the request
  const UINT8           *RequestPointer;
  UINT32                RequestSize;
  UINT8                 **ResponseBufferArgument;
  UINT32                *ResponseSizeArgument;
  UINT16                *ResponseStatusArgument;
  UINT8                 *ResponseGiven;    ///< the buffer handed out (NULL if none)
  EFI_STATUS            Status;            ///< the status answered
};

class VexaFake {
public:
  void
  Install (
    );

  void
  Uninstall (
    );

  bool
  Installed (
    ) const { return mPublished.Installed (); }

  EFI_HANDLE
  Handle (
    ) const { return mPublished.Handle (); }

  KIV_PROTOCOL *
  Interface (
    ) { return &mProtocol; }

  /// Answers the next SendCommand not yet answered (FIFO, used before keyed answers).
  void
  Queue (
    const KivAnswer  &Answer
    ) { mQueue.push_back (Answer); }

  /// Answers every request whose byte 0 is SubCommand.
  void
  Answer (
    UINT8            SubCommand,
    const KivAnswer  &Answer
    ) { mKeyed[Key (SubCommand, -1)] = Answer; }

  /// Answers every import-certificate request (0xA2) for Slot (request bytes 6-7).
  void
  AnswerImportCert (
    UINT16           Slot,
    const KivAnswer  &Answer
    ) { mKeyed[Key (0xA2, Slot)] = Answer; }

  // Builders of well-formed answers.
  /// 0xA0 response: A0 00, UINT32 list size (DeclaredSize or 6 x records), records.
  static KivAnswer
  PendingList (
    const std::vector<PendingTask>  &Tasks,
    std::optional<UINT32>           DeclaredSize = std::nullopt
    );

  /// 0xA2 response: A2 00, UINT32 size (DeclaredSize or DER length), UINT16 slot, DER.
  static KivAnswer
  ImportCert (
    UINT16                     Slot,
    const std::vector<UINT8>   &Der,
    std::optional<UINT32>      DeclaredSize = std::nullopt
    );

  /// 0xA1 answer: the given completion code and a one-byte response.
  static KivAnswer
  SyncAck (
    UINT16  Completion = 0
    );

  /// A request nobody scripted fails the test (default) or just answers
  /// EFI_DEVICE_ERROR.
  bool    UnscriptedIsFailure = true;

  /// Runs on every request before it is answered (for example, to look at the
  /// platform's state while the transport holds the call).
  std::function<void (const KivRequest &)>  OnRequest;

  const std::vector<KivRequest> &
  Requests (
    ) const { return mRequests; }

  // Internal.
  static std::pair<int, int>
  Key (
    int  SubCommand,
    int  Slot
    ) { return { SubCommand, Slot }; }

  KIV_PROTOCOL                                mProtocol;
  PublishedProtocol                           mPublished;
  std::deque<KivAnswer>                       mQueue;
  std::map<std::pair<int, int>, KivAnswer>    mKeyed;
  std::vector<KivRequest>                     mRequests;
};

VexaFake &
Vexa (
  );

// ===========================================================================
// Debug log (filled by the recording DebugLib, RecordingDebugLib.cpp)
// ===========================================================================

struct DebugMessage {
  UINTN          Level;
  std::string    Text;
};

struct AssertReport {
  std::string    File;
  UINTN          Line;
  std::string    Description;
};

struct DebugLogState {
  std::vector<DebugMessage>    Messages;
  std::vector<AssertReport>    Asserts;

  /// Messages whose text contains Needle.
  std::vector<DebugMessage>
  Containing (
    const std::string  &Needle
    ) const;

  /// All message texts, one per line, for failure output.
  std::string
  Dump (
    ) const;
};

DebugLogState &
DebugLog (
  );

} // namespace Sim

#endif
