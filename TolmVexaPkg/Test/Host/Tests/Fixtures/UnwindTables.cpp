// SPDX-License-Identifier: BSD-2-Clause-Patent
//
// Built with the host's C++ defaults (exceptions on): a destructor around a
// call that may throw gives the object unwind and exception tables, which
// CheckImage.py must find.

struct Guard {
  ~Guard ();
};

void
Use (
  );

void
WithGuard (
  )
{
  Guard  G;

  Use ();
}
