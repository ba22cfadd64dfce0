/* Stands in for JACK in the MIDI module: FluidSynth links it for an audio and
 * a MIDI driver the module never makes. Its one way in answers no server.
 *
 * Each function is defined with the real library's prototype, from its own
 * header, so that the compiler checks every signature and return type. */

#include <jack/jack.h>
#include <jack/midiport.h>

jack_client_t* jack_client_open(const char* client_name, jack_options_t options,
                                jack_status_t* status, ...) {
  return NULL;
}
int jack_activate(jack_client_t* client) { return -1; }
int jack_client_close(jack_client_t* client) { return 0; }
int jack_connect(jack_client_t* client, const char* source_port, const char* destination_port) {
  return -1;
}
void jack_free(void* ptr) {}
const char** jack_get_ports(jack_client_t* client, const char* port_name_pattern,
                            const char* type_name_pattern, unsigned long flags) {
  return NULL;
}
jack_nframes_t jack_get_sample_rate(jack_client_t* client) { return 0; }
int jack_midi_event_get(jack_midi_event_t* event, void* port_buffer, uint32_t event_index) {
  return -1;
}
jack_nframes_t jack_midi_get_event_count(void* port_buffer) { return 0; }
void jack_on_shutdown(jack_client_t* client, JackShutdownCallback function, void* arg) {}
void* jack_port_get_buffer(jack_port_t* port, jack_nframes_t frames) { return NULL; }
const char* jack_port_name(const jack_port_t* port) { return NULL; }
jack_port_t* jack_port_register(jack_client_t* client, const char* port_name, const char* port_type,
                                unsigned long flags, unsigned long buffer_size) {
  return NULL;
}
int jack_set_buffer_size_callback(jack_client_t* client, JackBufferSizeCallback bufsize_callback,
                                  void* arg) {
  return -1;
}
int jack_set_port_registration_callback(jack_client_t* client,
                                        JackPortRegistrationCallback registration_callback,
                                        void* arg) {
  return -1;
}
int jack_set_process_callback(jack_client_t* client, JackProcessCallback process_callback,
                              void* arg) {
  return -1;
}
int jack_set_sample_rate_callback(jack_client_t* client, JackSampleRateCallback srate_callback,
                                  void* arg) {
  return -1;
}
