/* Stands in for libpulse-simple in the MIDI module: FluidSynth links it for an
 * audio driver the module never makes. Its one way in answers no server.
 *
 * Each function is defined with the real library's prototype, from its own
 * header, so that the compiler checks every signature and return type. */

#include <pulse/simple.h>
#include <stddef.h>

pa_simple* pa_simple_new(const char* server, const char* name, pa_stream_direction_t dir,
                         const char* dev, const char* stream_name, const pa_sample_spec* ss,
                         const pa_channel_map* map, const pa_buffer_attr* attr, int* error) {
  return NULL;
}
int pa_simple_write(pa_simple* s, const void* data, size_t bytes, int* error) { return -1; }
void pa_simple_free(pa_simple* s) {}
