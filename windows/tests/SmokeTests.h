// The smoke tests of the Windows modules; each returns its number of failed checks.
#pragma once
#include <windows.h>

int RunAsioDriverSmoke(LPCWSTR modulePath);
int RunCoInstallerSmoke(LPCWSTR moduleFolder);
int RunAppletSmoke(LPCWSTR moduleFolder);
int RunUpdateToolSmoke(LPCWSTR moduleFolder);
int RunWin32Conformance();
