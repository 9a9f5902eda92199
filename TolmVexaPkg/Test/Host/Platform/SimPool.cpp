/** @file
  The simulated boot-services pool: every block recorded with its size, fresh
  blocks filled with garbage, guard bytes behind every block, freed blocks kept
  in quarantine (filled with a pattern) until the next reset so that a double
  free is always recognised and a write after free is seen, and allocation
  failures on demand. Under AddressSanitizer the guard bytes and the
  quarantined blocks are poisoned, so a read past the end of a block or after
  its release is reported too; the pool lifts the poison only where it looks
  at those bytes itself.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "SimPlatform.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace Sim {

namespace {

constexpr UINT8  GUARD_BYTE = 0xFD;
constexpr UINT8  FREED_BYTE = 0xDD;

std::string
Describe (
  const void         *Address,
  size_t             Size,
  uint64_t           Number,
  const std::string  &Tag
  )
{
  std::ostringstream  Out;

  Out << Size << " bytes at " << Address << " (allocation #" << Number;
  if (!Tag.empty ()) {
    Out << ", " << Tag;
  }

  Out << ")";
  if (Size > 0) {
    const UINT8  *Bytes = static_cast<const UINT8 *>(Address);
    char         Hex[4];
    Out << " starting";
    for (size_t Index = 0; Index < Size && Index < 16; Index++) {
      snprintf (Hex, sizeof (Hex), " %02X", Bytes[Index]);
      Out << Hex;
    }
  }

  return Out.str ();
}

///
/// Hands a block (with its guard) back to the C library, poison lifted.
///
void
Release (
  const void  *Address,
  size_t      Size
  )
{
  ASAN_UNPOISON_MEMORY_REGION (Address, Size + PoolState::GuardBytes);
  free (const_cast<void *>(Address));
}

} // namespace

PoolState &
Pool (
  )
{
  static PoolState  State;

  return State;
}

void
PoolState::FailNthAllocation (
  uint64_t    N,
  EFI_STATUS  Status
  )
{
  mFailAt     = (N == 0) ? 0 : mAttempts + N;
  mFailAll    = false;
  mFailStatus = Status;
}

void
PoolState::FailAllAllocations (
  EFI_STATUS  Status
  )
{
  mFailAll    = true;
  mFailStatus = Status;
}

std::vector<PoolBlock>
PoolState::Live (
  ) const
{
  std::vector<PoolBlock>  Blocks;

  for (const auto &Entry : mLive) {
    Blocks.push_back ({ const_cast<void *>(Entry.first), Entry.second.Size, Entry.second.Type, Entry.second.Number, Entry.second.Tag });
  }

  return Blocks;
}

bool
PoolState::IsLive (
  const void  *Address
  ) const
{
  return mLive.count (Address) != 0;
}

size_t
PoolState::SizeOf (
  const void  *Address
  ) const
{
  auto  It = mLive.find (Address);

  return (It == mLive.end ()) ? 0 : It->second.Size;
}

bool
PoolState::GuardIntact (
  const void   *Address,
  const Block  &B
  ) const
{
  const UINT8  *Guard  = static_cast<const UINT8 *>(Address) + B.Size;
  bool         Intact = true;

  ASAN_UNPOISON_MEMORY_REGION (Guard, GuardBytes);
  for (size_t Index = 0; Index < GuardBytes; Index++) {
    if (Guard[Index] != GUARD_BYTE) {
      Intact = false;
      break;
    }
  }

  ASAN_POISON_MEMORY_REGION (Guard, GuardBytes);
  return Intact;
}

EFI_STATUS
PoolState::Allocate (
  EFI_MEMORY_TYPE     Type,
  size_t              Size,
  void                **Buffer,
  const std::string   &Tag
  )
{
  if (Buffer == nullptr) {
    mFindings.push_back ("AllocatePool with a NULL Buffer argument");
    ADD_FAILURE () << "AllocatePool called with a NULL Buffer argument";
    return EFI_INVALID_PARAMETER;
  }

  if ((Type >= EfiMaxMemoryType) && (static_cast<UINT32>(Type) < 0x70000000U)) {
    mFindings.push_back ("AllocatePool with an invalid pool type");
    ADD_FAILURE () << "AllocatePool called with invalid pool type " << static_cast<UINT32>(Type);
    return EFI_INVALID_PARAMETER;
  }

  mAttempts++;
  if (mFailAll || ((mFailAt != 0) && (mAttempts == mFailAt))) {
    mFailed++;
    return mFailStatus;
  }

  if (Size > MaxBlock) {
    return EFI_OUT_OF_RESOURCES;
  }

  UINT8  *Raw = static_cast<UINT8 *>(malloc (Size + GuardBytes));
  if (Raw == nullptr) {
    return EFI_OUT_OF_RESOURCES;
  }

  memset (Raw, GarbageByte, Size);
  memset (Raw + Size, GUARD_BYTE, GuardBytes);
  ASAN_POISON_MEMORY_REGION (Raw + Size, GuardBytes);
  mLive[Raw] = Block { Size, Type, mAttempts, Tag };
  *Buffer    = Raw;
  return EFI_SUCCESS;
}

EFI_STATUS
PoolState::Free (
  void  *Buffer
  )
{
  if (Buffer == nullptr) {
    mFindings.push_back ("FreePool(NULL)");
    ADD_FAILURE () << "FreePool called with NULL";
    return EFI_INVALID_PARAMETER;
  }

  auto  It = mLive.find (Buffer);
  if (It == mLive.end ()) {
    std::ostringstream  Message;
    if (mFreed.count (Buffer) != 0) {
      Message << "double free: FreePool(" << Buffer << ") of a block already freed";
    } else {
      Message << "FreePool(" << Buffer << ") of a pointer that AllocatePool never returned (foreign pointer)";
      for (const auto &Entry : mLive) {
        const UINT8  *Start = static_cast<const UINT8 *>(Entry.first);
        if ((static_cast<const UINT8 *>(Buffer) > Start) && (static_cast<const UINT8 *>(Buffer) < Start + Entry.second.Size + GuardBytes)) {
          Message << ", inside the block of " << Describe (Entry.first, Entry.second.Size, Entry.second.Number, Entry.second.Tag);
          break;
        }
      }
    }

    mFindings.push_back (Message.str ());
    ADD_FAILURE () << Message.str ();
    return EFI_INVALID_PARAMETER;
  }

  if (!GuardIntact (Buffer, It->second)) {
    std::string  Message = "buffer overrun: the bytes behind the block of " +
                           Describe (Buffer, It->second.Size, It->second.Number, It->second.Tag) + " were written";
    mFindings.push_back (Message);
    ADD_FAILURE () << Message;
  }

  mFrees++;
  memset (Buffer, FREED_BYTE, It->second.Size);
  ASAN_POISON_MEMORY_REGION (Buffer, It->second.Size + GuardBytes);
  mFreed[Buffer] = It->second.Size;
  mLive.erase (It);
  return EFI_SUCCESS;
}

size_t
PoolState::ReportLeaks (
  )
{
  size_t  Leaks = 0;

  for (const auto &Entry : mLive) {
    if (!GuardIntact (Entry.first, Entry.second)) {
      std::string  Message = "buffer overrun: the bytes behind the block of " +
                             Describe (Entry.first, Entry.second.Size, Entry.second.Number, Entry.second.Tag) + " were written";
      mFindings.push_back (Message);
      ADD_FAILURE () << Message;
    }

    std::string  Message = "pool leak: " + Describe (Entry.first, Entry.second.Size, Entry.second.Number, Entry.second.Tag) +
                           " was never freed";
    mFindings.push_back (Message);
    ADD_FAILURE () << Message;
    Leaks++;
  }

  // Freed blocks are compared a page at a time (the fuzz targets free much).
  static const std::vector<UINT8>  Freed (4096, FREED_BYTE);

  for (const auto &Entry : mFreed) {
    const UINT8  *Bytes = static_cast<const UINT8 *>(Entry.first);
    ASAN_UNPOISON_MEMORY_REGION (Bytes, Entry.second + GuardBytes);
    for (size_t Offset = 0; Offset < Entry.second; Offset += Freed.size ()) {
      size_t  Length = std::min (Freed.size (), Entry.second - Offset);
      if (memcmp (Bytes + Offset, Freed.data (), Length) == 0) {
        continue;
      }

      size_t  Index = Offset;
      while (Bytes[Index] == FREED_BYTE) {
        Index++;
      }

      std::ostringstream  Message;
      Message << "write after free: byte " << Index << " of the freed block of " << Entry.second << " bytes at " << Entry.first
              << " was changed";
      mFindings.push_back (Message.str ());
      ADD_FAILURE () << Message.str ();
      break;
    }
  }

  for (const auto &Entry : mLive) {
    Release (Entry.first, Entry.second.Size);
  }

  mLive.clear ();
  for (const auto &Entry : mFreed) {
    Release (Entry.first, Entry.second);
  }

  mFreed.clear ();
  return Leaks;
}

void
PoolState::Clear (
  )
{
  for (const auto &Entry : mLive) {
    Release (Entry.first, Entry.second.Size);
  }

  for (const auto &Entry : mFreed) {
    Release (Entry.first, Entry.second);
  }

  mLive.clear ();
  mFreed.clear ();
  mFindings.clear ();
  mAttempts   = 0;
  mFailed     = 0;
  mFrees      = 0;
  mFailAt     = 0;
  mFailAll    = false;
  mFailStatus = EFI_OUT_OF_RESOURCES;
}

uint64_t
SweepAllocationFailures (
  const std::function<void ()>          &Arrange,
  const std::function<void (uint64_t)>  &Act
  )
{
  CheckAtEnd ();
  Reset ();
  Arrange ();
  uint64_t  Before = Pool ().AllocationCount ();
  Act (0);
  uint64_t  Count = Pool ().AllocationCount () - Before;
  CheckAtEnd ();

  for (uint64_t K = 1; K <= Count; K++) {
    SCOPED_TRACE ("allocation " + std::to_string (K) + " of " + std::to_string (Count) + " failing");
    Reset ();
    Arrange ();
    Pool ().FailNthAllocation (K);
    Act (K);
    CheckAtEnd ();
  }

  Reset ();
  return Count;
}

} // namespace Sim
