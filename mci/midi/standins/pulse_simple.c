/* Stands in for libpulse-simple in the MIDI module: FluidSynth links it for an
 * audio driver the module never makes. Its one way in answers no server. */
void* pa_simple_new(void) { return 0; }
long pa_simple_write(void) { return -1; }
void pa_simple_free(void) {}
