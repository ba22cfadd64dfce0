// Resource and control identifiers, shared by quorwind.rc and the code.
#pragma once

#define IDI_QUORWIND 1
#define IDC_LABEL1 101
#define IDC_COMMAND1 102
