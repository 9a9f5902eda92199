/** @file
  Simulated boot services: a handle database with UEFI semantics, TPL rules,
  the pool entry points and configuration tables. Every slot this file does not
  implement answers EFI_UNSUPPORTED and is recorded.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "SimInternal.h"

#include <algorithm>
#include <memory>
#include <sstream>

namespace Sim {

namespace {

constexpr UINT64  HANDLE_SIGNATURE = 0x454C444E41484D53ULL;   // "SMHANDLE"

struct ProtocolEntry {
  EFI_GUID    Guid;
  VOID        *Interface;
  uint64_t    Order;        ///< installation order, for LocateProtocol
};

struct HandleRecord {
  UINT64                        Signature = HANDLE_SIGNATURE;
  std::vector<ProtocolEntry>    Protocols;
};

struct HandleDatabase {
  std::vector<std::unique_ptr<HandleRecord>>    Live;
  std::vector<std::unique_ptr<HandleRecord>>    Dead;     ///< kept until reset so a stale handle is never reused
  uint64_t                                      NextOrder = 1;
};

HandleDatabase &
Db (
  )
{
  static HandleDatabase  Database;

  return Database;
}

std::vector<std::string>  mUnsupported;
std::vector<EFI_CONFIGURATION_TABLE>  mConfigTables;

HandleRecord *
Lookup (
  EFI_HANDLE  Handle
  )
{
  for (auto &Record : Db ().Live) {
    if (Record.get () == Handle) {
      return Record.get ();
    }
  }

  return nullptr;
}

ProtocolEntry *
FindProtocol (
  HandleRecord    *Record,
  const EFI_GUID  *Guid
  )
{
  for (auto &Entry : Record->Protocols) {
    if (CompareGuid (&Entry.Guid, Guid)) {
      return &Entry;
    }
  }

  return nullptr;
}

HandleRecord *
NewHandle (
  )
{
  Db ().Live.push_back (std::make_unique<HandleRecord>());
  return Db ().Live.back ().get ();
}

void
DeleteHandle (
  HandleRecord  *Record
  )
{
  auto  &Live = Db ().Live;

  for (auto It = Live.begin (); It != Live.end (); ++It) {
    if (It->get () == Record) {
      Record->Signature = 0;
      Db ().Dead.push_back (std::move (*It));
      Live.erase (It);
      return;
    }
  }
}

// --- TPL ---------------------------------------------------------------------

EFI_TPL
EFIAPI
SimRaiseTpl (
  IN EFI_TPL  NewTpl
  )
{
  TplState  &State = Tpl ();
  EFI_TPL   Old    = State.Current;

  State.Calls.push_back ({ true, NewTpl, Old });
  if (NewTpl < Old) {
    ADD_FAILURE () << "RaiseTPL(" << NewTpl << ") to a level below the current TPL " << Old;
  }

  if (NewTpl > TPL_HIGH_LEVEL) {
    ADD_FAILURE () << "RaiseTPL(" << NewTpl << ") above TPL_HIGH_LEVEL";
  }

  State.Current = NewTpl;
  return Old;
}

VOID
EFIAPI
SimRestoreTpl (
  IN EFI_TPL  OldTpl
  )
{
  TplState  &State = Tpl ();

  State.Calls.push_back ({ false, OldTpl, State.Current });
  if (OldTpl > State.Current) {
    ADD_FAILURE () << "RestoreTPL(" << OldTpl << ") to a level above the current TPL " << State.Current;
  }

  State.Current = OldTpl;
}

// --- Pool ----------------------------------------------------------------------

EFI_STATUS
EFIAPI
SimAllocatePool (
  IN  EFI_MEMORY_TYPE  PoolType,
  IN  UINTN            Size,
  OUT VOID             **Buffer
  )
{
  return Pool ().Allocate (PoolType, Size, Buffer);
}

EFI_STATUS
EFIAPI
SimFreePool (
  IN VOID  *Buffer
  )
{
  return Pool ().Free (Buffer);
}

// --- Protocol interfaces -----------------------------------------------------

EFI_STATUS
EFIAPI
SimInstallProtocolInterface (
  IN OUT EFI_HANDLE          *Handle,
  IN     EFI_GUID            *Protocol,
  IN     EFI_INTERFACE_TYPE  InterfaceType,
  IN     VOID                *Interface
  )
{
  HandleRecord  *Record;

  if ((Handle == nullptr) || (Protocol == nullptr) || (InterfaceType != EFI_NATIVE_INTERFACE)) {
    return EFI_INVALID_PARAMETER;
  }

  if (*Handle != nullptr) {
    Record = Lookup (*Handle);
    if (Record == nullptr) {
      return EFI_INVALID_PARAMETER;
    }

    if (FindProtocol (Record, Protocol) != nullptr) {
      return EFI_INVALID_PARAMETER;
    }
  } else {
    Record = NewHandle ();
  }

  Record->Protocols.push_back ({ *Protocol, Interface, Db ().NextOrder++ });
  *Handle = Record;
  return EFI_SUCCESS;
}

/// Finds Interface installed under Protocol on Handle, with the statuses the
/// uninstall and reinstall services answer when it is not there.
EFI_STATUS
FindInstalledInterface (
  EFI_HANDLE     Handle,
  EFI_GUID       *Protocol,
  VOID           *Interface,
  HandleRecord   **Record,
  ProtocolEntry  **Entry
  )
{
  if (Protocol == nullptr) {
    return EFI_INVALID_PARAMETER;
  }

  *Record = Lookup (Handle);
  if (*Record == nullptr) {
    return EFI_INVALID_PARAMETER;
  }

  *Entry = FindProtocol (*Record, Protocol);
  if ((*Entry == nullptr) || ((*Entry)->Interface != Interface)) {
    return EFI_NOT_FOUND;
  }

  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
SimUninstallProtocolInterface (
  IN EFI_HANDLE  Handle,
  IN EFI_GUID    *Protocol,
  IN VOID        *Interface
  )
{
  HandleRecord   *Record;
  ProtocolEntry  *Entry;
  EFI_STATUS     Status;

  Status = FindInstalledInterface (Handle, Protocol, Interface, &Record, &Entry);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  Record->Protocols.erase (Record->Protocols.begin () + (Entry - Record->Protocols.data ()));
  if (Record->Protocols.empty ()) {
    DeleteHandle (Record);
  }

  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
SimReinstallProtocolInterface (
  IN EFI_HANDLE  Handle,
  IN EFI_GUID    *Protocol,
  IN VOID        *OldInterface,
  IN VOID        *NewInterface
  )
{
  HandleRecord   *Record;
  ProtocolEntry  *Entry;
  EFI_STATUS     Status;

  Status = FindInstalledInterface (Handle, Protocol, OldInterface, &Record, &Entry);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  Entry->Interface = NewInterface;
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
SimHandleProtocol (
  IN  EFI_HANDLE  Handle,
  IN  EFI_GUID    *Protocol,
  OUT VOID        **Interface
  )
{
  HandleRecord   *Record;
  ProtocolEntry  *Entry;

  if ((Protocol == nullptr) || (Interface == nullptr)) {
    return EFI_INVALID_PARAMETER;
  }

  *Interface = nullptr;
  Record     = Lookup (Handle);
  if (Record == nullptr) {
    return EFI_INVALID_PARAMETER;
  }

  Entry = FindProtocol (Record, Protocol);
  if (Entry == nullptr) {
    return EFI_UNSUPPORTED;
  }

  *Interface = Entry->Interface;
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
SimOpenProtocol (
  IN  EFI_HANDLE  Handle,
  IN  EFI_GUID    *Protocol,
  OUT VOID        **Interface  OPTIONAL,
  IN  EFI_HANDLE  AgentHandle,
  IN  EFI_HANDLE  ControllerHandle,
  IN  UINT32      Attributes
  )
{
  HandleRecord   *Record;
  ProtocolEntry  *Entry;

  if (Protocol == nullptr) {
    return EFI_INVALID_PARAMETER;
  }

  if ((Interface == nullptr) && (Attributes != EFI_OPEN_PROTOCOL_TEST_PROTOCOL)) {
    return EFI_INVALID_PARAMETER;
  }

  Record = Lookup (Handle);
  if (Record == nullptr) {
    return EFI_INVALID_PARAMETER;
  }

  Entry = FindProtocol (Record, Protocol);
  if (Interface != nullptr) {
    *Interface = (Entry == nullptr) ? nullptr : Entry->Interface;
  }

  return (Entry == nullptr) ? EFI_UNSUPPORTED : EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
SimCloseProtocol (
  IN EFI_HANDLE  Handle,
  IN EFI_GUID    *Protocol,
  IN EFI_HANDLE  AgentHandle,
  IN EFI_HANDLE  ControllerHandle
  )
{
  HandleRecord  *Record;

  if (Protocol == nullptr) {
    return EFI_INVALID_PARAMETER;
  }

  Record = Lookup (Handle);
  if (Record == nullptr) {
    return EFI_INVALID_PARAMETER;
  }

  return (FindProtocol (Record, Protocol) == nullptr) ? EFI_NOT_FOUND : EFI_SUCCESS;
}

/// Handles matching a search, in handle creation order.
std::vector<EFI_HANDLE>
Search (
  EFI_LOCATE_SEARCH_TYPE  SearchType,
  EFI_GUID                *Protocol
  )
{
  std::vector<EFI_HANDLE>  Found;

  for (auto &Record : Db ().Live) {
    if ((SearchType == AllHandles) || (FindProtocol (Record.get (), Protocol) != nullptr)) {
      Found.push_back (Record.get ());
    }
  }

  return Found;
}

EFI_STATUS
EFIAPI
SimLocateHandle (
  IN     EFI_LOCATE_SEARCH_TYPE  SearchType,
  IN     EFI_GUID                *Protocol    OPTIONAL,
  IN     VOID                    *SearchKey   OPTIONAL,
  IN OUT UINTN                   *BufferSize,
  OUT    EFI_HANDLE              *Buffer
  )
{
  if (BufferSize == nullptr) {
    return EFI_INVALID_PARAMETER;
  }

  if (SearchType == ByRegisterNotify) {
    return EFI_UNSUPPORTED;
  }

  if ((SearchType != AllHandles) && ((SearchType != ByProtocol) || (Protocol == nullptr))) {
    return EFI_INVALID_PARAMETER;
  }

  std::vector<EFI_HANDLE>  Found  = Search (SearchType, Protocol);
  UINTN                    Needed = Found.size () * sizeof (EFI_HANDLE);

  if (Found.empty ()) {
    return EFI_NOT_FOUND;
  }

  if (*BufferSize < Needed) {
    *BufferSize = Needed;
    return EFI_BUFFER_TOO_SMALL;
  }

  if (Buffer == nullptr) {
    return EFI_INVALID_PARAMETER;
  }

  std::copy (Found.begin (), Found.end (), Buffer);
  *BufferSize = Needed;
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
SimLocateHandleBuffer (
  IN     EFI_LOCATE_SEARCH_TYPE  SearchType,
  IN     EFI_GUID                *Protocol       OPTIONAL,
  IN     VOID                    *SearchKey      OPTIONAL,
  OUT    UINTN                   *NoHandles,
  OUT    EFI_HANDLE              **Buffer
  )
{
  if ((NoHandles == nullptr) || (Buffer == nullptr)) {
    return EFI_INVALID_PARAMETER;
  }

  *NoHandles = 0;
  *Buffer    = nullptr;
  if (SearchType == ByRegisterNotify) {
    return EFI_UNSUPPORTED;
  }

  if ((SearchType != AllHandles) && ((SearchType != ByProtocol) || (Protocol == nullptr))) {
    return EFI_INVALID_PARAMETER;
  }

  std::vector<EFI_HANDLE>  Found = Search (SearchType, Protocol);
  if (Found.empty ()) {
    return EFI_NOT_FOUND;
  }

  void        *Memory = nullptr;
  EFI_STATUS  Status  = Pool ().Allocate (EfiBootServicesData, Found.size () * sizeof (EFI_HANDLE), &Memory, "LocateHandleBuffer");
  if (EFI_ERROR (Status)) {
    return EFI_OUT_OF_RESOURCES;
  }

  std::copy (Found.begin (), Found.end (), static_cast<EFI_HANDLE *>(Memory));
  *Buffer    = static_cast<EFI_HANDLE *>(Memory);
  *NoHandles = Found.size ();
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
SimLocateProtocol (
  IN  EFI_GUID  *Protocol,
  IN  VOID      *Registration  OPTIONAL,
  OUT VOID      **Interface
  )
{
  const ProtocolEntry  *Best = nullptr;

  if ((Protocol == nullptr) || (Interface == nullptr)) {
    return EFI_INVALID_PARAMETER;
  }

  *Interface = nullptr;
  for (auto &Record : Db ().Live) {
    const ProtocolEntry  *Entry = FindProtocol (Record.get (), Protocol);
    if ((Entry != nullptr) && ((Best == nullptr) || (Entry->Order < Best->Order))) {
      Best = Entry;
    }
  }

  if (Best == nullptr) {
    return EFI_NOT_FOUND;
  }

  *Interface = Best->Interface;
  return EFI_SUCCESS;
}

using ProtocolPairs = std::vector<std::pair<EFI_GUID *, VOID *>>;

EFI_STATUS
EFIAPI
SimInstallMultipleProtocolInterfaces (
  IN OUT EFI_HANDLE  *Handle,
  ...
  )
{
  VA_LIST        Args;
  ProtocolPairs  Pairs;
  EFI_STATUS     Status;
  EFI_HANDLE     OldHandle;

  if (Handle == nullptr) {
    return EFI_INVALID_PARAMETER;
  }

  VA_START (Args, Handle);
  for ( ; ;) {
    EFI_GUID  *Guid = VA_ARG (Args, EFI_GUID *);
    if (Guid == nullptr) {
      break;
    }

    VOID  *Interface = VA_ARG (Args, VOID *);
    Pairs.push_back ({ Guid, Interface });
  }

  VA_END (Args);

  OldHandle = *Handle;
  Status    = EFI_SUCCESS;
  size_t  Installed = 0;
  for ( ; Installed < Pairs.size (); Installed++) {
    Status = SimInstallProtocolInterface (Handle, Pairs[Installed].first, EFI_NATIVE_INTERFACE, Pairs[Installed].second);
    if (EFI_ERROR (Status)) {
      break;
    }
  }

  if (EFI_ERROR (Status)) {
    // Undo this call's installations; a handle created here disappears again.
    while (Installed > 0) {
      Installed--;
      SimUninstallProtocolInterface (*Handle, Pairs[Installed].first, Pairs[Installed].second);
    }

    *Handle = OldHandle;
  }

  return Status;
}

EFI_STATUS
EFIAPI
SimUninstallMultipleProtocolInterfaces (
  IN EFI_HANDLE  Handle,
  ...
  )
{
  VA_LIST        Args;
  ProtocolPairs  Pairs;
  EFI_STATUS     Status;

  VA_START (Args, Handle);
  for ( ; ;) {
    EFI_GUID  *Guid = VA_ARG (Args, EFI_GUID *);
    if (Guid == nullptr) {
      break;
    }

    VOID  *Interface = VA_ARG (Args, VOID *);
    Pairs.push_back ({ Guid, Interface });
  }

  VA_END (Args);

  Status = EFI_SUCCESS;
  size_t  Removed = 0;
  for ( ; Removed < Pairs.size (); Removed++) {
    Status = SimUninstallProtocolInterface (Handle, Pairs[Removed].first, Pairs[Removed].second);
    if (EFI_ERROR (Status)) {
      break;
    }
  }

  if (EFI_ERROR (Status)) {
    // Put back what this call removed. If the handle vanished with its last
    // protocol, the reinstalled protocols land on a new handle, as in firmware.
    EFI_HANDLE  Target = IsHandle (Handle) ? Handle : nullptr;
    while (Removed > 0) {
      Removed--;
      SimInstallProtocolInterface (&Target, Pairs[Removed].first, EFI_NATIVE_INTERFACE, Pairs[Removed].second);
    }

    return EFI_INVALID_PARAMETER;
  }

  return EFI_SUCCESS;
}

// --- Miscellaneous -----------------------------------------------------------

EFI_STATUS
EFIAPI
SimInstallConfigurationTable (
  IN EFI_GUID  *Guid,
  IN VOID      *Table
  )
{
  if (Guid == nullptr) {
    return EFI_INVALID_PARAMETER;
  }

  auto  It = std::find_if (
               mConfigTables.begin (),
               mConfigTables.end (),
               [Guid](const EFI_CONFIGURATION_TABLE &Entry) { return CompareGuid (&Entry.VendorGuid, Guid); }
               );
  if (Table == nullptr) {
    if (It == mConfigTables.end ()) {
      return EFI_NOT_FOUND;
    }

    mConfigTables.erase (It);
  } else if (It != mConfigTables.end ()) {
    It->VendorTable = Table;
  } else {
    mConfigTables.push_back ({ *Guid, Table });
  }

  SystemTable ()->NumberOfTableEntries = mConfigTables.size ();
  SystemTable ()->ConfigurationTable   = mConfigTables.empty () ? nullptr : mConfigTables.data ();
  return EFI_SUCCESS;
}

VOID
EFIAPI
SimCopyMem (
  IN VOID   *Destination,
  IN VOID   *Source,
  IN UINTN  Length
  )
{
  memmove (Destination, Source, Length);
}

VOID
EFIAPI
SimSetMem (
  IN VOID   *Buffer,
  IN UINTN  Size,
  IN UINT8  Value
  )
{
  memset (Buffer, Value, Size);
}

EFI_STATUS
EFIAPI
SimStall (
  IN UINTN  Microseconds
  )
{
  Clock ().Now += 10ULL * Microseconds;
  return EFI_SUCCESS;
}

/// A timer event: due at Due while armed; signalled until checked.
struct SimTimer {
  bool      Armed = false;
  UINT64    Due   = 0;
};

std::vector<std::unique_ptr<SimTimer>>  mTimers;

SimTimer *
TimerOf (
  EFI_EVENT  Event
  )
{
  for (auto &Timer : mTimers) {
    if (Timer.get () == Event) {
      return Timer.get ();
    }
  }

  return nullptr;
}

EFI_STATUS
EFIAPI
SimCreateEvent (
  IN  UINT32            Type,
  IN  EFI_TPL           NotifyTpl,
  IN  EFI_EVENT_NOTIFY  NotifyFunction,
  IN  VOID              *NotifyContext,
  OUT EFI_EVENT         *Event
  )
{
  if ((Type != EVT_TIMER) || (NotifyFunction != NULL) || (Event == NULL)) {
    ADD_FAILURE () << "CreateEvent: only a timer event without notification is simulated";
    return EFI_UNSUPPORTED;
  }

  if (Clock ().FailCreate) {
    return EFI_OUT_OF_RESOURCES;
  }

  mTimers.push_back (std::make_unique<SimTimer>());
  *Event = mTimers.back ().get ();
  Clock ().OpenEvents++;
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
SimSetTimer (
  IN EFI_EVENT        Event,
  IN EFI_TIMER_DELAY  Type,
  IN UINT64           TriggerTime
  )
{
  SimTimer  *Timer = TimerOf (Event);

  if ((Timer == nullptr) || (Type == TimerPeriodic)) {
    ADD_FAILURE () << "SetTimer: not an open timer event, or periodic";
    return EFI_INVALID_PARAMETER;
  }

  Timer->Armed = (Type == TimerRelative);
  Timer->Due   = Clock ().Now + TriggerTime;
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
SimCheckEvent (
  IN EFI_EVENT  Event
  )
{
  SimTimer  *Timer = TimerOf (Event);

  if (Timer == nullptr) {
    ADD_FAILURE () << "CheckEvent: not an open event";
    return EFI_INVALID_PARAMETER;
  }

  if (!Timer->Armed || (Clock ().Now < Timer->Due)) {
    return EFI_NOT_READY;
  }

  Timer->Armed = false;
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
SimCloseEvent (
  IN EFI_EVENT  Event
  )
{
  for (auto It = mTimers.begin (); It != mTimers.end (); ++It) {
    if (It->get () == Event) {
      mTimers.erase (It);
      Clock ().OpenEvents--;
      return EFI_SUCCESS;
    }
  }

  ADD_FAILURE () << "CloseEvent: not an open event";
  return EFI_INVALID_PARAMETER;
}

} // namespace

// --- Public API ------------------------------------------------------------

ClockState &
Clock (
  )
{
  static ClockState  State;

  return State;
}

TplState &
Tpl (
  )
{
  static TplState  State;

  return State;
}

const std::vector<std::string> &
UnsupportedCalls (
  )
{
  return mUnsupported;
}

EFI_HANDLE
InstallProtocol (
  const EFI_GUID  &Guid,
  void            *Interface,
  EFI_HANDLE      Handle
  )
{
  EFI_STATUS  Status = gBS->InstallProtocolInterface (&Handle, const_cast<EFI_GUID *>(&Guid), EFI_NATIVE_INTERFACE, Interface);

  EXPECT_EQ (Status, EFI_SUCCESS) << "installing " << GuidText (Guid);
  return Handle;
}

void
UninstallProtocol (
  EFI_HANDLE      Handle,
  const EFI_GUID  &Guid,
  void            *Interface
  )
{
  EFI_STATUS  Status = gBS->UninstallProtocolInterface (Handle, const_cast<EFI_GUID *>(&Guid), Interface);

  EXPECT_EQ (Status, EFI_SUCCESS) << "uninstalling " << GuidText (Guid);
}

std::vector<EFI_HANDLE>
HandlesWith (
  const EFI_GUID  &Guid
  )
{
  return Search (ByProtocol, const_cast<EFI_GUID *>(&Guid));
}

void *
InterfaceOn (
  EFI_HANDLE      Handle,
  const EFI_GUID  &Guid
  )
{
  HandleRecord  *Record = Lookup (Handle);

  if (Record == nullptr) {
    return nullptr;
  }

  ProtocolEntry  *Entry = FindProtocol (Record, &Guid);
  return (Entry == nullptr) ? nullptr : Entry->Interface;
}

bool
IsHandle (
  EFI_HANDLE  Handle
  )
{
  return Lookup (Handle) != nullptr;
}

size_t
HandleCount (
  )
{
  return Db ().Live.size ();
}

namespace Internal {

void
NoteUnsupported (
  const char  *Table,
  size_t      Offset
  )
{
  std::ostringstream  Out;

  Out << Table << "+0x" << std::hex << std::uppercase << Offset;
  mUnsupported.push_back (Out.str ());
}

void
ClearUnsupported (
  )
{
  mUnsupported.clear ();
}

void
BuildBootServices (
  EFI_BOOT_SERVICES  *Table
  )
{
  constexpr size_t  Slots = (sizeof (EFI_BOOT_SERVICES) - sizeof (EFI_TABLE_HEADER)) / sizeof (VOID *);

  memset (Table, 0, sizeof (*Table));
  Table->Hdr.Signature  = EFI_BOOT_SERVICES_SIGNATURE;
  Table->Hdr.Revision   = EFI_BOOT_SERVICES_REVISION;
  Table->Hdr.HeaderSize = sizeof (EFI_BOOT_SERVICES);
  FillUnsupported<BootServicesName>(Table, std::make_index_sequence<Slots>());

  Table->RaiseTPL                            = SimRaiseTpl;
  Table->RestoreTPL                          = SimRestoreTpl;
  Table->AllocatePool                        = SimAllocatePool;
  Table->FreePool                            = SimFreePool;
  Table->InstallProtocolInterface            = SimInstallProtocolInterface;
  Table->ReinstallProtocolInterface          = SimReinstallProtocolInterface;
  Table->UninstallProtocolInterface          = SimUninstallProtocolInterface;
  Table->HandleProtocol                      = SimHandleProtocol;
  Table->LocateHandle                        = SimLocateHandle;
  Table->InstallConfigurationTable           = SimInstallConfigurationTable;
  Table->Stall                               = SimStall;
  Table->CreateEvent                         = SimCreateEvent;
  Table->SetTimer                            = SimSetTimer;
  Table->CheckEvent                          = SimCheckEvent;
  Table->CloseEvent                          = SimCloseEvent;
  Table->OpenProtocol                        = SimOpenProtocol;
  Table->CloseProtocol                       = SimCloseProtocol;
  Table->LocateHandleBuffer                  = SimLocateHandleBuffer;
  Table->LocateProtocol                      = SimLocateProtocol;
  Table->InstallMultipleProtocolInterfaces   = SimInstallMultipleProtocolInterfaces;
  Table->UninstallMultipleProtocolInterfaces = SimUninstallMultipleProtocolInterfaces;
  Table->CopyMem                             = SimCopyMem;
  Table->SetMem                              = SimSetMem;
}

void
ClearTimers (
  )
{
  mTimers.clear ();
  Clock () = ClockState {};
}

void
ClearHandles (
  )
{
  Db ().Live.clear ();
  Db ().Dead.clear ();
  Db ().NextOrder = 1;
}

EFI_HANDLE
CreateHandle (
  )
{
  return NewHandle ();
}

void
ResetConfigurationTables (
  EFI_SYSTEM_TABLE  *SystemTable
  )
{
  mConfigTables.clear ();
  mConfigTables.reserve (64);
  SystemTable->NumberOfTableEntries = 0;
  SystemTable->ConfigurationTable   = nullptr;
}

} // namespace Internal
} // namespace Sim
