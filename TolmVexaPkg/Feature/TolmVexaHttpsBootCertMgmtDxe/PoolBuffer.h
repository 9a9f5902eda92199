/** @file
  PoolBuffer: a scope guard for one boot-services pool buffer. The buffer is
  released with FreePool when the guard leaves scope, on every path, unless
  ownership was handed on with Release().

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef POOL_BUFFER_H_
#define POOL_BUFFER_H_

#include <Uefi.h>
#include <Library/MemoryAllocationLib.h>

namespace TolmVexa {

template<typename T>
class PoolBuffer {
public:
  PoolBuffer (
    )
    : mBuffer (nullptr)
  {
  }

  explicit PoolBuffer (
    IN T  *Buffer
    )
    : mBuffer (Buffer)
  {
  }

  ~PoolBuffer (
    )
  {
    Reset (nullptr);
  }

  PoolBuffer (const PoolBuffer &)            = delete;
  PoolBuffer &operator= (const PoolBuffer &) = delete;

  T *
  Get (
    ) const
  {
    return mBuffer;
  }

  ///
  /// Address of the held pointer, for APIs that store a buffer through a
  /// pointer to pointer or replace the held one in place. Whatever the pointer
  /// holds when the guard leaves scope is freed.
  ///
  T **
  AddressOf (
    )
  {
    return &mBuffer;
  }

  ///
  /// Frees the buffer held (if any) and takes NewBuffer.
  ///
  void
  Reset (
    IN T  *NewBuffer
    )
  {
    if (mBuffer != nullptr) {
      FreePool (mBuffer);
    }

    mBuffer = NewBuffer;
  }

  ///
  /// Hands the buffer on: the guard forgets it and frees nothing.
  ///
  T *
  Release (
    )
  {
    T  *Buffer = mBuffer;

    mBuffer = nullptr;
    return Buffer;
  }

private:
  T  *mBuffer;
};

} // namespace TolmVexa

#endif
