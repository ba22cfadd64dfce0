/* Stands in for JACK in the MIDI module: FluidSynth links it for an audio and
 * a MIDI driver the module never makes. Its one way in answers no server. */
void* jack_client_open(void) { return 0; }
long jack_activate(void) { return -1; }
long jack_client_close(void) { return 0; }
long jack_connect(void) { return -1; }
void jack_free(void) {}
void* jack_get_ports(void) { return 0; }
long jack_get_sample_rate(void) { return 0; }
long jack_midi_event_get(void) { return -1; }
long jack_midi_get_event_count(void) { return 0; }
void jack_on_shutdown(void) {}
void* jack_port_get_buffer(void) { return 0; }
void* jack_port_name(void) { return 0; }
void* jack_port_register(void) { return 0; }
long jack_set_buffer_size_callback(void) { return -1; }
long jack_set_port_registration_callback(void) { return -1; }
long jack_set_process_callback(void) { return -1; }
long jack_set_sample_rate_callback(void) { return -1; }
