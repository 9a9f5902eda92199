/** @file
  The controller command transport: SendKivCommand and its performance
  markers, against the simulated Vexa behind KIV_PROTOCOL.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "SimPlatform.h"

#include "TolmVexaHttpsBootCertMgmtDxe.h"

namespace {

constexpr char  PERF_TOKEN[]  = "KIV Multi Transaction Info";
constexpr char  PERF_MODULE[] = "KIV DXE";

/// What a caller of SendKivCommand holds: the three out-values, preset.
struct Exchange {
  UINT8     *Response  = nullptr;
  UINT32    Size       = 0;
  UINT16    Completion = 0;

  EFI_STATUS
  Send (
    UINT16              Command,
    std::vector<UINT8>  &Request
    )
  {
    return SendKivCommand (Command, &Response, &Size, Request.data (), static_cast<UINT32>(Request.size ()), &Completion);
  }

  ~Exchange (
    )
  {
    // The caller's duty: release whatever the transport handed out.
    if (Response != nullptr) {
      gBS->FreePool (Response);
    }
  }
};

TEST (SendKivCommand, WithoutTheTransportItReturnsNotFoundAndTouchesNothing) {
  std::vector<UINT8>  Request = { 0xA0, 0, 0, 0, 0, 0 };
  Exchange            Call;

  Sim::Performance ().Install ();
  Call.Size       = 0xA5A5A5A5;
  Call.Completion = 0x5A5A;

  EXPECT_EQ (Call.Send (0x809D, Request), EFI_NOT_FOUND);
  EXPECT_EQ (Call.Response, nullptr);
  EXPECT_EQ (Call.Size, 0xA5A5A5A5U);
  EXPECT_EQ (Call.Completion, 0x5A5A);
  EXPECT_TRUE (Sim::Performance ().Calls ().empty ()) << "no marker without a transport";
  EXPECT_TRUE (Sim::Performance ().Records ().empty ());
  EXPECT_TRUE (Sim::DebugLog ().Messages.empty ()) << Sim::DebugLog ().Dump ();
}

TEST (SendKivCommand, TheTransportIsLocatedAfreshOnEveryCall) {
  std::vector<UINT8>  Request = { 0xA0, 0, 0, 0, 0, 0 };

  {
    Exchange  Call;
    EXPECT_EQ (Call.Send (0x809D, Request), EFI_NOT_FOUND);
  }

  Sim::Vexa ().Install ();
  Sim::Vexa ().Answer (0xA0, Sim::VexaFake::PendingList ({}));
  {
    Exchange  Call;
    EXPECT_EQ (Call.Send (0x809D, Request), EFI_SUCCESS) << "installed after a failed call, then reached";
  }

  EXPECT_EQ (Sim::Vexa ().Requests ().size (), 1U);
  Sim::Vexa ().Uninstall ();
  {
    Exchange  Call;
    EXPECT_EQ (Call.Send (0x809D, Request), EFI_NOT_FOUND) << "gone again: nothing remembered";
  }

  EXPECT_EQ (Sim::Vexa ().Requests ().size (), 1U);
}

TEST (SendKivCommand, ArgumentsReachTheTransportUnchangedAndItsResultsReachTheCaller) {
  std::vector<UINT8>  Request = { 0xA1, 0x00, 0x06, 0x00, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0, 0, 0, 0 };
  Exchange            Call;
  Sim::KivAnswer      Answer;

  Answer.Completion   = 0x00C1;          // passed on as it is, with success
  Answer.Response     = { 0x11, 0x22, 0x33 };
  Answer.SizeOverride = 2;
  Sim::Vexa ().Install ();
  Sim::Vexa ().Queue (Answer);

  EXPECT_EQ (Call.Send (0x009D, Request), EFI_SUCCESS);
  ASSERT_EQ (Sim::Vexa ().Requests ().size (), 1U);
  const Sim::KivRequest  &Seen = Sim::Vexa ().Requests ()[0];
  EXPECT_EQ (Seen.Command, 0x009D);
  EXPECT_EQ (Seen.RequestPointer, Request.data ());
  EXPECT_EQ (Seen.RequestSize, Request.size ());
  EXPECT_EQ (Seen.Bytes, Request);
  EXPECT_EQ (Seen.ResponseBufferArgument, &Call.Response);
  EXPECT_EQ (Seen.ResponseSizeArgument, &Call.Size);
  EXPECT_EQ (Seen.ResponseStatusArgument, &Call.Completion);

  EXPECT_EQ (Call.Response, Seen.ResponseGiven);
  EXPECT_EQ (Call.Size, 2U) << "the size the transport stored, not the buffer's";
  EXPECT_EQ (Call.Completion, 0x00C1);
}

TEST (SendKivCommand, TransportStatusesPassThroughUnchanged) {
  const EFI_STATUS  Statuses[] = {
    EFI_TIMEOUT, EFI_DEVICE_ERROR, EFI_NOT_READY, EFI_PROTOCOL_ERROR, EFI_BUFFER_TOO_SMALL,
    EFI_NOT_FOUND, EFI_WARN_BUFFER_TOO_SMALL, EFI_WARN_UNKNOWN_GLYPH
  };

  Sim::Vexa ().Install ();
  for (EFI_STATUS Status : Statuses) {
    SCOPED_TRACE (testing::Message () << "status 0x" << std::hex << Status);
    std::vector<UINT8>  Request = { 0xA2, 0, 2, 0, 0, 0, 1, 0 };
    Exchange            Call;
    Sim::KivAnswer      Answer;

    Answer.Status     = Status;
    Answer.Completion = 0xFF;
    Answer.Response   = { 0xEE };        // a buffer that comes with the error is still the caller's
    Sim::Vexa ().Queue (Answer);

    EXPECT_EQ (Call.Send (0x809D, Request), Status);
    EXPECT_NE (Call.Response, nullptr);
    EXPECT_EQ (Call.Size, 1U);
    EXPECT_EQ (Call.Completion, 0xFF);
  }
}

TEST (SendKivCommand, EachCallIsTimedByOneStartAndOneEndMarker) {
  std::vector<UINT8>  Request = { 0xA0, 0, 0, 0, 0, 0 };
  size_t              CallsWhileSending = 0;

  Sim::Performance ().Install ();
  Sim::Vexa ().Install ();
  Sim::Vexa ().Answer (0xA0, Sim::VexaFake::PendingList ({}));
  Sim::Vexa ().OnRequest = [&CallsWhileSending](const Sim::KivRequest &) {
                             CallsWhileSending = Sim::Performance ().Calls ().size ();
                           };

  for (int Round = 1; Round <= 2; Round++) {
    Exchange  Call;
    ASSERT_EQ (Call.Send (0x809D, Request), EFI_SUCCESS);
    EXPECT_EQ (CallsWhileSending, static_cast<size_t>(2 * Round - 1)) << "start before the transport call, end after it";
  }

  const auto  &Calls = Sim::Performance ().Calls ();
  ASSERT_EQ (Calls.size (), 4U);
  for (size_t Index = 0; Index < Calls.size (); Index++) {
    SCOPED_TRACE (Index);
    EXPECT_EQ (Calls[Index].Start, Index % 2 == 0);
    EXPECT_EQ (Calls[Index].Token, PERF_TOKEN);
    EXPECT_EQ (Calls[Index].Module, PERF_MODULE);
    EXPECT_EQ (Calls[Index].Handle, nullptr);
    EXPECT_EQ (Calls[Index].TimeStamp, 0U);
  }

  const auto  &Records = Sim::Performance ().Records ();
  ASSERT_EQ (Records.size (), 4U);
  EXPECT_EQ (Records[0].Attribute, PerfStartEntry);
  EXPECT_EQ (Records[1].Attribute, PerfEndEntry);
  EXPECT_EQ (Records[0].String, PERF_TOKEN);
}

TEST (SendKivCommand, WithoutTheMeasurementProtocolTheCommandStillGoesOut) {
  std::vector<UINT8>  Request = { 0xA0, 0, 0, 0, 0, 0 };
  Exchange            Call;

  Sim::Vexa ().Install ();
  Sim::Vexa ().Answer (0xA0, Sim::VexaFake::PendingList ({}));

  EXPECT_EQ (Call.Send (0x809D, Request), EFI_SUCCESS);
  EXPECT_EQ (Sim::Vexa ().Requests ().size (), 1U);
  EXPECT_TRUE (Sim::Performance ().Records ().empty ());
}

} // namespace
