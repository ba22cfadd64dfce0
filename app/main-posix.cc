// Process entry on POSIX: create Form1 and run its load step.
#include "app/form1-posix.h"
#include "app/platform-posix.h"

int main(int argc, char** argv) {
  quorwind::PosixPlatform platform(argc, argv,
                                   quorwind::PosixPlatform::ModulePathBesideExecutable());
  quorwind::Form1 form;
  form.Load(platform);
}
