/* Stands in for readline in the MIDI module: FluidSynth links it for its
 * interactive shell, which the module never starts. Input ends at once.
 *
 * Each function is defined with the real library's prototype, from its own
 * header, so that the compiler checks every signature and return type. */

#include <stdio.h>
/* stdio.h first: readline's header needs FILE. */
#include <readline/history.h>
#include <readline/readline.h>

char* readline(const char* prompt) { return NULL; }
void add_history(const char* line) {}
