// The payload level: which payload layouts a stub reads. The stub carries
// its level as a resource, so that the packer can refuse to put a layout
// behind a stub that would not read it; the launcher itself never looks at
// it. Plain #defines only, so that the resource compiler reads this file
// too. What it trades away: a stub built before levels existed carries no
// such resource, and is taken for level 1.
//
// Level 1: every file is one directory record of at most 96 chunks.
// Level 2: a file may go on in continuation records (payload.h).
#pragma once

#define PAYLOAD_LEVEL 2             // the level of the stub built from these sources
#define PAYLOAD_LEVEL_FIRST 1       // the level of a stub without the resource
#define PAYLOAD_LEVEL_CONTINUED 2   // the first level that reads continued files
#define PAYLOAD_LEVEL_RESOURCE 150  // RCDATA id: PAYLOAD_LEVEL as a 16-bit little-endian number
