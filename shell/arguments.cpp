// The launcher's own command line, read as typed. Deployment tools pass a
// setup's switches behind the launcher's ("/silent /norestart
// INSTALLDIR="C:\Program Files\X y""); they reach setup.exe cut from the raw
// command line, never rebuilt from the runtime's split vector, so that
// every quote, backslash and blank arrives as typed. Only where the
// program's name and the first argument end has to be found.
#include "shell/shell.h"

/* The blanks that separate arguments. */
static const char* SkipBlanks(const char* p) {
    while (*p == ' ' || *p == '\t') {
        p++;
    }
    return p;
}

/* The program's name, or the argument that selects silent mode: parts of
   it between double quotes may hold blanks, and it ends at the first blank
   outside them. The runtime reads the program's name so (a path holds no
   quote of its own, so no backslash escapes one); the silent argument,
   which the runtime reads as "/silent" or "-silent", may have quotes
   around some of its letters, and is no different. */
static const char* SkipArgument(const char* p) {
    int quoted = 0;  // inside double quotes
    for (; *p != '\0' && (quoted || (*p != ' ' && *p != '\t')); p++) {
        quoted ^= *p == '"';
    }
    return p;
}

const char* ArgumentsAfter(const char* command_line, int skipped) {
    const char* p = SkipBlanks(SkipArgument(command_line));
    for (int i = 0; i < skipped && *p != '\0'; i++) {
        p = SkipBlanks(SkipArgument(p));
    }
    return p;
}
