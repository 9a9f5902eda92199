/** @file
  main() of every host test executable: resets the simulated platform before
  each test and runs its end-of-test checks after it.

  The checks run in OnTestEnd. GoogleTest calls OnTestEnd of the listeners in
  reverse order, so this listener (appended after the result printer) runs
  first, and a leak it reports fails the test it belongs to.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "SimPlatform.h"

#include <gmock/gmock.h>

namespace {

class SimPlatformListener : public ::testing::EmptyTestEventListener {
public:
  void
  OnTestStart (
    const ::testing::TestInfo  &Info
    ) override
  {
    Sim::Reset ();
  }

  void
  OnTestEnd (
    const ::testing::TestInfo  &Info
    ) override
  {
    Sim::CheckAtEnd ();
  }
};

} // namespace

int
main (
  int   argc,
  char  **argv
  )
{
  ::testing::InitGoogleMock (&argc, argv);
  ::testing::UnitTest::GetInstance ()->listeners ().Append (new SimPlatformListener);
  return RUN_ALL_TESTS ();
}
