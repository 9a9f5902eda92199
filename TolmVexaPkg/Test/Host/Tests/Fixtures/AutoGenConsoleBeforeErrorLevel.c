/** @file
  Fixture for scripts/check-constructor-order.py: the library set-up lists of
  the driver's generated AutoGen.c, with the serial console set up
  ahead of the error level.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

VOID
EFIAPI
ProcessLibraryConstructorList (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  )
{
  EFI_STATUS  Status;

  Status = TolmDebugLibOutputConstructor (ImageHandle, SystemTable);
  ASSERT_EFI_ERROR (Status);
  Status = TolmDebugLibConsoleConstructor (ImageHandle, SystemTable);
  ASSERT_EFI_ERROR (Status);
  Status = TolmDebugLibNullConstructor (ImageHandle, SystemTable);
  ASSERT_EFI_ERROR (Status);
  Status = TolmDebugLibErrorLevelConstructor (ImageHandle, SystemTable);
  ASSERT_EFI_ERROR (Status);

  Status = UefiBootServicesTableLibConstructor (ImageHandle, SystemTable);
  ASSERT_EFI_ERROR (Status);

  Status = UefiRuntimeServicesTableLibConstructor (ImageHandle, SystemTable);
  ASSERT_EFI_ERROR (Status);

}

VOID
EFIAPI
ProcessLibraryDestructorList (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  )
{
  EFI_STATUS  Status;

  Status = TolmDebugLibDestructor (ImageHandle, SystemTable);
  ASSERT_EFI_ERROR (Status);

}
