/** @file
  The outside world of the driver, as protocols other drivers would install:
  the performance measurement protocol, platform information, platform debug
  output, and the Vexa behind KIV_PROTOCOL.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "SimInternal.h"

#include <sstream>

namespace Sim {

namespace {

EFI_STATUS
EFIAPI
UnsupportedProtocolMember (
  )
{
  Internal::NoteUnsupported ("ProtocolMember", 0);
  return EFI_UNSUPPORTED;
}

std::string
CString (
  const CHAR8  *Text
  )
{
  return (Text == nullptr) ? std::string ("(null)") : std::string (Text);
}

// --- EDKII_PERFORMANCE_MEASUREMENT_PROTOCOL ------------------------------------

EFI_STATUS
EFIAPI
SimCreatePerformanceMeasurement (
  IN CONST VOID                        *CallerIdentifier  OPTIONAL,
  IN CONST VOID                        *Guid      OPTIONAL,
  IN CONST CHAR8                       *String    OPTIONAL,
  IN       UINT64                      TimeStamp  OPTIONAL,
  IN       UINT64                      Address    OPTIONAL,
  IN       UINT32                      Identifier,
  IN       PERF_MEASUREMENT_ATTRIBUTE  Attribute
  )
{
  Performance ().mRecords.push_back ({ Attribute, CallerIdentifier, CString (String), TimeStamp, Identifier });
  return EFI_SUCCESS;
}

EDKII_PERFORMANCE_MEASUREMENT_PROTOCOL  mPerformanceProtocol = { SimCreatePerformanceMeasurement };

// --- PLATFORM_INFO_PROTOCOL -------------------------------------------------------

EFI_STATUS
EFIAPI
SimGetPlatformInfo (
  OUT PLATFORM_INFO  **Info
  )
{
  PlatformInfoFake  &Fake = PlatformInfo ();

  // A failing provider still hands out its record: only the status may tell
  // that the record cannot be trusted.
  Fake.mCalls++;
  if (!Fake.mNoRecord) {
    *Info = &Fake.Record;
  }

  return Fake.mStatus;
}

// --- PLATFORM_DEBUG_OUTPUT_PROTOCOL -------------------------------------------

UINTN
EFIAPI
SimDebugOutputWrite (
  IN CONST CHAR8  *Buffer,
  IN UINTN        Length
  )
{
  std::string  Text (Buffer, Length);

  DebugOutput ().Text += Text;
  DebugOutput ().Writes.push_back (Text);
  return Length;
}

UINT32
EFIAPI
SimDebugOutputGetLevelMask (
  IN UINT8  Selector
  )
{
  DebugOutput ().Selectors.push_back (Selector);
  return DebugOutput ().Mask;
}

// --- KIV_PROTOCOL --------------------------------------------------------------

EFI_STATUS
EFIAPI
SimKivSendCommand (
  IN  KIV_PROTOCOL  *This,
  IN  UINT16        Command,
  IN  UINT8         *RequestBuffer,
  IN  UINT32        RequestBufferSize,
  OUT UINT8         **ResponseBuffer,
  OUT UINT32        *ResponseBufferSize,
  OUT UINT16        *ResponseStatus
  )
{
  VexaFake    &Fake = Vexa ();
  KivRequest  Request {};

  EXPECT_EQ (This, &Fake.mProtocol) << "SendCommand called with an interface pointer other than the one located";
  Request.Command                = Command;
  Request.RequestPointer         = RequestBuffer;
  Request.RequestSize            = RequestBufferSize;
  Request.ResponseBufferArgument = ResponseBuffer;
  Request.ResponseSizeArgument   = ResponseBufferSize;
  Request.ResponseStatusArgument = ResponseStatus;
  if ((RequestBuffer != nullptr) && (RequestBufferSize != 0)) {
    Request.Bytes.assign (RequestBuffer, RequestBuffer + RequestBufferSize);
  }

  if (Fake.OnRequest) {
    Fake.OnRequest (Request);
  }

  // Pick the answer: queued first, then by sub-command and slot, then by sub-command.
  std::optional<KivAnswer>  Answer;
  if (!Fake.mQueue.empty ()) {
    Answer = Fake.mQueue.front ();
    Fake.mQueue.pop_front ();
  } else if (!Request.Bytes.empty ()) {
    int  SubCommand = Request.Bytes[0];
    int  Slot       = (Request.Bytes.size () >= 8) ? (Request.Bytes[6] | (Request.Bytes[7] << 8)) : -1;
    auto It         = Fake.mKeyed.find (VexaFake::Key (SubCommand, Slot));
    if ((SubCommand == 0xA2) && (It != Fake.mKeyed.end ())) {
      Answer = It->second;
    } else if ((It = Fake.mKeyed.find (VexaFake::Key (SubCommand, -1))) != Fake.mKeyed.end ()) {
      Answer = It->second;
    }
  }

  if (!Answer.has_value ()) {
    std::ostringstream  Message;
    Message << "the Vexa received a request nobody scripted: command 0x" << std::hex << Command << ", " << std::dec
            << RequestBufferSize << " bytes";
    if (!Request.Bytes.empty ()) {
      Message << ", sub-command 0x" << std::hex << static_cast<int>(Request.Bytes[0]);
    }

    if (Fake.UnscriptedIsFailure) {
      ADD_FAILURE () << Message.str ();
    }

    Answer = KivAnswer {};
    Answer->Status = EFI_DEVICE_ERROR;
    Answer->StoreNothing = true;
  }

  Request.Status = Answer->Status;
  if (!Answer->StoreNothing) {
    UINT8  *Buffer = nullptr;
    if (!Answer->NoBuffer) {
      std::ostringstream  Tag;
      Tag << "Vexa response to command 0x" << std::hex << Command;
      if (!Request.Bytes.empty ()) {
        Tag << " sub-command 0x" << static_cast<int>(Request.Bytes[0]);
      }

      void        *Memory = nullptr;
      EFI_STATUS  Status  = Pool ().Allocate (EfiBootServicesData, Answer->Response.size (), &Memory, Tag.str ());
      if (EFI_ERROR (Status)) {
        // The transport itself ran out of pool.
        Fake.mRequests.push_back (Request);
        Fake.mRequests.back ().Status = EFI_OUT_OF_RESOURCES;
        return EFI_OUT_OF_RESOURCES;
      }

      if (!Answer->Response.empty ()) {
        memcpy (Memory, Answer->Response.data (), Answer->Response.size ());
      }

      Buffer = static_cast<UINT8 *>(Memory);
    }

    *ResponseBuffer      = Buffer;
    *ResponseBufferSize  = Answer->SizeOverride.value_or (static_cast<UINT32>(Answer->Response.size ()));
    *ResponseStatus      = Answer->Completion;
    Request.ResponseGiven = Buffer;
  }

  Fake.mRequests.push_back (Request);
  return Answer->Status;
}

void
PutLe (
  std::vector<UINT8>  &Bytes,
  UINT64              Value,
  int                 Width
  )
{
  for (int Index = 0; Index < Width; Index++) {
    Bytes.push_back (static_cast<UINT8>(Value >> (8 * Index)));
  }
}

} // namespace

// --- Published protocols ----------------------------------------------------

void
PublishedProtocol::Install (
  const EFI_GUID  &Guid,
  void            *Interface
  )
{
  if (mHandle == nullptr) {
    mGuid      = &Guid;
    mInterface = Interface;
    mHandle    = InstallProtocol (Guid, Interface);
  }
}

void
PublishedProtocol::Uninstall (
  )
{
  if (mHandle != nullptr) {
    UninstallProtocol (mHandle, *mGuid, mInterface);
    mHandle = nullptr;
  }
}

// --- Performance ----------------------------------------------------------------

PerformanceFake &
Performance (
  )
{
  static PerformanceFake  Fake;

  return Fake;
}

void
PerformanceFake::Install (
  )
{
  mPublished.Install (gEdkiiPerformanceMeasurementProtocolGuid, &mPerformanceProtocol);
}

void
PerformanceFake::Uninstall (
  )
{
  mPublished.Uninstall ();
}

void
PerformanceFake::Clear (
  )
{
  mRecords.clear ();
  mCalls.clear ();
  mPublished.Forget ();
}

// --- Platform information ------------------------------------------------------

PlatformInfoFake &
PlatformInfo (
  )
{
  static PlatformInfoFake  Fake;

  return Fake;
}

void
PlatformInfoFake::Install (
  )
{
  if (!mPublished.Installed ()) {
    Internal::FillProtocolStubs (&mProtocol, sizeof (mProtocol));
    mProtocol.GetPlatformInfo = SimGetPlatformInfo;
    mPublished.Install (gPlatformInfoProtocolGuid, &mProtocol);
  }
}

void
PlatformInfoFake::Uninstall (
  )
{
  mPublished.Uninstall ();
}

// --- Debug output -----------------------------------------------------------------

DebugOutputFake &
DebugOutput (
  )
{
  static DebugOutputFake  Fake;

  return Fake;
}

void
DebugOutputFake::Install (
  )
{
  if (!mPublished.Installed ()) {
    Internal::FillProtocolStubs (&mProtocol, sizeof (mProtocol));
    mProtocol.Write        = SimDebugOutputWrite;
    mProtocol.GetLevelMask = SimDebugOutputGetLevelMask;
    mPublished.Install (gPlatformDebugOutputProtocolGuid, &mProtocol);
  }
}

void
DebugOutputFake::Uninstall (
  )
{
  mPublished.Uninstall ();
}

// --- Vexa ---------------------------------------------------------------------------

VexaFake &
Vexa (
  )
{
  static VexaFake  Fake;

  return Fake;
}

void
VexaFake::Install (
  )
{
  if (!mPublished.Installed ()) {
    Internal::FillProtocolStubs (&mProtocol, sizeof (mProtocol));
    mProtocol.SendCommand = SimKivSendCommand;
    mPublished.Install (gKivProtocolGuid, &mProtocol);
  }
}

void
VexaFake::Uninstall (
  )
{
  mPublished.Uninstall ();
}

KivAnswer
VexaFake::PendingList (
  const std::vector<PendingTask>  &Tasks,
  std::optional<UINT32>           DeclaredSize
  )
{
  KivAnswer  Answer;

  Answer.Response = { 0xA0, 0x00 };
  PutLe (Answer.Response, DeclaredSize.value_or (static_cast<UINT32>(Tasks.size () * 6)), 4);
  for (const auto &Task : Tasks) {
    Answer.Response.push_back (Task.TaskType);
    Answer.Response.push_back (Task.CertNum);
    Answer.Response.push_back (Task.Operation);
    PutLe (Answer.Response, Task.CertSize, 2);
    Answer.Response.push_back (Task.Reserved);
  }

  return Answer;
}

KivAnswer
VexaFake::ImportCert (
  UINT16                     Slot,
  const std::vector<UINT8>   &Der,
  std::optional<UINT32>      DeclaredSize
  )
{
  KivAnswer  Answer;

  Answer.Response = { 0xA2, 0x00 };
  PutLe (Answer.Response, DeclaredSize.value_or (static_cast<UINT32>(Der.size ())), 4);
  PutLe (Answer.Response, Slot, 2);
  Answer.Response.insert (Answer.Response.end (), Der.begin (), Der.end ());
  return Answer;
}

KivAnswer
VexaFake::SyncAck (
  UINT16  Completion
  )
{
  KivAnswer  Answer;

  Answer.Completion = Completion;
  Answer.Response   = { 0xA1 };
  return Answer;
}

namespace Internal {

void
FillProtocolStubs (
  void    *Interface,
  size_t  Size
  )
{
  auto  Stub = &UnsupportedProtocolMember;

  for (size_t Offset = 0; Offset + sizeof (VOID *) <= Size; Offset += sizeof (VOID *)) {
    memcpy (static_cast<UINT8 *>(Interface) + Offset, &Stub, sizeof (VOID *));
  }
}

} // namespace Internal
} // namespace Sim

// --- Markers on their way into the performance library (link-time wrap) ---------

extern "C" {

RETURN_STATUS
EFIAPI
__real_StartPerformanceMeasurement (
  IN CONST VOID   *Handle   OPTIONAL,
  IN CONST CHAR8  *Token    OPTIONAL,
  IN CONST CHAR8  *Module   OPTIONAL,
  IN UINT64       TimeStamp
  );

RETURN_STATUS
EFIAPI
__real_EndPerformanceMeasurement (
  IN CONST VOID   *Handle   OPTIONAL,
  IN CONST CHAR8  *Token    OPTIONAL,
  IN CONST CHAR8  *Module   OPTIONAL,
  IN UINT64       TimeStamp
  );

RETURN_STATUS
EFIAPI
__wrap_StartPerformanceMeasurement (
  IN CONST VOID   *Handle   OPTIONAL,
  IN CONST CHAR8  *Token    OPTIONAL,
  IN CONST CHAR8  *Module   OPTIONAL,
  IN UINT64       TimeStamp
  )
{
  Sim::Performance ().mCalls.push_back ({ true, Handle, Sim::CString (Token), Sim::CString (Module), TimeStamp });
  return __real_StartPerformanceMeasurement (Handle, Token, Module, TimeStamp);
}

RETURN_STATUS
EFIAPI
__wrap_EndPerformanceMeasurement (
  IN CONST VOID   *Handle   OPTIONAL,
  IN CONST CHAR8  *Token    OPTIONAL,
  IN CONST CHAR8  *Module   OPTIONAL,
  IN UINT64       TimeStamp
  )
{
  Sim::Performance ().mCalls.push_back ({ false, Handle, Sim::CString (Token), Sim::CString (Module), TimeStamp });
  return __real_EndPerformanceMeasurement (Handle, Token, Module, TimeStamp);
}

} // extern "C"
