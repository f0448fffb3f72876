// Resource IDs of the resource test library, shared by its script and the tests.
#pragma once

#define IDS_FIRST 1
#define IDS_QUOTED 2
#define IDS_SEVENTEEN 17
#define IDS_LAST_OF_BLOCK 31
#define IDI_THREE_SIZES 5
#define IDR_NOTE 7
