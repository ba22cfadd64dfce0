/* Stands in for ALSA's library in the MIDI module: FluidSynth links it for
 * audio and MIDI drivers the module never makes. As FluidSynth's settings
 * are made, it lists the machine's MIDI ports: here, as on a machine without
 * a sound card, there are none. Every device fails to open, as it does there;
 * should anything be asked of one, it answers nothing.
 *
 * Each function is defined with the real library's prototype, from its own
 * header, so that the compiler checks every signature and return type. */

#include <alsa/asoundlib.h>
#include <errno.h>
#include <stddef.h>

int snd_card_next(int* card) {
  *card = -1;
  return 0;
}

const char* snd_strerror(int errnum) {
  (void)errnum;
  return "No such device";
}

int snd_ctl_close(snd_ctl_t* ctl) { return -ENODEV; }
int snd_ctl_open(snd_ctl_t** ctl, const char* name, int mode) { return -ENODEV; }
int snd_ctl_rawmidi_info(snd_ctl_t* ctl, snd_rawmidi_info_t* info) { return -ENODEV; }
int snd_ctl_rawmidi_next_device(snd_ctl_t* ctl, int* device) { return -ENODEV; }
int snd_pcm_close(snd_pcm_t* pcm) { return -ENODEV; }
int snd_pcm_hw_params(snd_pcm_t* pcm, snd_pcm_hw_params_t* params) { return -ENODEV; }
int snd_pcm_hw_params_any(snd_pcm_t* pcm, snd_pcm_hw_params_t* params) { return -ENODEV; }
int snd_pcm_hw_params_set_access(snd_pcm_t* pcm, snd_pcm_hw_params_t* params,
                                 snd_pcm_access_t _access) {
  return -ENODEV;
}
int snd_pcm_hw_params_set_channels(snd_pcm_t* pcm, snd_pcm_hw_params_t* params, unsigned int val) {
  return -ENODEV;
}
int snd_pcm_hw_params_set_format(snd_pcm_t* pcm, snd_pcm_hw_params_t* params,
                                 snd_pcm_format_t val) {
  return -ENODEV;
}
int snd_pcm_hw_params_set_period_size_near(snd_pcm_t* pcm, snd_pcm_hw_params_t* params,
                                           snd_pcm_uframes_t* val, int* dir) {
  return -ENODEV;
}
int snd_pcm_hw_params_set_periods_near(snd_pcm_t* pcm, snd_pcm_hw_params_t* params,
                                       unsigned int* val, int* dir) {
  return -ENODEV;
}
int snd_pcm_hw_params_set_rate_near(snd_pcm_t* pcm, snd_pcm_hw_params_t* params, unsigned int* val,
                                    int* dir) {
  return -ENODEV;
}
int snd_pcm_nonblock(snd_pcm_t* pcm, int nonblock) { return -ENODEV; }
int snd_pcm_open(snd_pcm_t** pcm, const char* name, snd_pcm_stream_t stream, int mode) {
  return -ENODEV;
}
int snd_pcm_prepare(snd_pcm_t* pcm) { return -ENODEV; }
int snd_pcm_resume(snd_pcm_t* pcm) { return -ENODEV; }
int snd_pcm_sw_params(snd_pcm_t* pcm, snd_pcm_sw_params_t* params) { return -ENODEV; }
int snd_pcm_sw_params_current(snd_pcm_t* pcm, snd_pcm_sw_params_t* params) { return -ENODEV; }
int snd_pcm_sw_params_set_avail_min(snd_pcm_t* pcm, snd_pcm_sw_params_t* params,
                                    snd_pcm_uframes_t val) {
  return -ENODEV;
}
int snd_pcm_sw_params_set_start_threshold(snd_pcm_t* pcm, snd_pcm_sw_params_t* params,
                                          snd_pcm_uframes_t val) {
  return -ENODEV;
}
int snd_pcm_wait(snd_pcm_t* pcm, int timeout) { return -ENODEV; }
snd_pcm_sframes_t snd_pcm_writei(snd_pcm_t* pcm, const void* buffer, snd_pcm_uframes_t size) {
  return -ENODEV;
}
snd_pcm_sframes_t snd_pcm_writen(snd_pcm_t* pcm, void** bufs, snd_pcm_uframes_t size) {
  return -ENODEV;
}
int snd_rawmidi_close(snd_rawmidi_t* rmidi) { return -ENODEV; }
int snd_rawmidi_nonblock(snd_rawmidi_t* rmidi, int nonblock) { return -ENODEV; }
int snd_rawmidi_open(snd_rawmidi_t** in_rmidi, snd_rawmidi_t** out_rmidi, const char* name,
                     int mode) {
  return -ENODEV;
}
int snd_rawmidi_poll_descriptors(snd_rawmidi_t* rmidi, struct pollfd* pfds, unsigned int space) {
  return -ENODEV;
}
int snd_rawmidi_poll_descriptors_count(snd_rawmidi_t* rmidi) { return -ENODEV; }
ssize_t snd_rawmidi_read(snd_rawmidi_t* rmidi, void* buffer, size_t size) { return -ENODEV; }
int snd_seq_client_info_get_client(const snd_seq_client_info_t* info) { return -ENODEV; }
int snd_seq_close(snd_seq_t* handle) { return -ENODEV; }
int snd_seq_connect_from(snd_seq_t* seq, int my_port, int src_client, int src_port) {
  return -ENODEV;
}
int snd_seq_create_port(snd_seq_t* handle, snd_seq_port_info_t* info) { return -ENODEV; }
int snd_seq_event_input(snd_seq_t* handle, snd_seq_event_t** ev) { return -ENODEV; }
int snd_seq_get_any_port_info(snd_seq_t* handle, int client, int port, snd_seq_port_info_t* info) {
  return -ENODEV;
}
int snd_seq_get_port_subscription(snd_seq_t* handle, snd_seq_port_subscribe_t* sub) {
  return -ENODEV;
}
int snd_seq_nonblock(snd_seq_t* handle, int nonblock) { return -ENODEV; }
int snd_seq_open(snd_seq_t** handle, const char* name, int streams, int mode) { return -ENODEV; }
int snd_seq_poll_descriptors(snd_seq_t* handle, struct pollfd* pfds, unsigned int space,
                             short events) {
  return -ENODEV;
}
int snd_seq_poll_descriptors_count(snd_seq_t* handle, short events) { return -ENODEV; }
int snd_seq_query_next_client(snd_seq_t* handle, snd_seq_client_info_t* info) { return -ENODEV; }
int snd_seq_query_next_port(snd_seq_t* handle, snd_seq_port_info_t* info) { return -ENODEV; }
int snd_seq_set_client_name(snd_seq_t* seq, const char* name) { return -ENODEV; }
int snd_seq_subscribe_port(snd_seq_t* handle, snd_seq_port_subscribe_t* sub) { return -ENODEV; }
unsigned int snd_rawmidi_info_get_subdevices_count(const snd_rawmidi_info_t* obj) { return 0; }
void snd_rawmidi_info_set_device(snd_rawmidi_info_t* obj, unsigned int val) {}
void snd_rawmidi_info_set_stream(snd_rawmidi_info_t* obj, snd_rawmidi_stream_t val) {}
void snd_rawmidi_info_set_subdevice(snd_rawmidi_info_t* obj, unsigned int val) {}
void snd_seq_client_info_set_client(snd_seq_client_info_t* info, int client) {}
const snd_seq_addr_t* snd_seq_port_info_get_addr(const snd_seq_port_info_t* info) { return 0; }
unsigned int snd_seq_port_info_get_capability(const snd_seq_port_info_t* info) { return 0; }
unsigned int snd_seq_port_info_get_type(const snd_seq_port_info_t* info) { return 0; }
void snd_seq_port_info_set_capability(snd_seq_port_info_t* info, unsigned int capability) {}
void snd_seq_port_info_set_client(snd_seq_port_info_t* info, int client) {}
void snd_seq_port_info_set_midi_channels(snd_seq_port_info_t* info, int channels) {}
void snd_seq_port_info_set_name(snd_seq_port_info_t* info, const char* name) {}
void snd_seq_port_info_set_port(snd_seq_port_info_t* info, int port) {}
void snd_seq_port_info_set_port_specified(snd_seq_port_info_t* info, int val) {}
void snd_seq_port_info_set_type(snd_seq_port_info_t* info, unsigned int type) {}
void snd_seq_port_subscribe_set_dest(snd_seq_port_subscribe_t* info, const snd_seq_addr_t* addr) {}
void snd_seq_port_subscribe_set_sender(snd_seq_port_subscribe_t* info, const snd_seq_addr_t* addr) {
}
const char* snd_rawmidi_info_get_name(const snd_rawmidi_info_t* obj) { return ""; }
const char* snd_rawmidi_info_get_subdevice_name(const snd_rawmidi_info_t* obj) { return ""; }
const char* snd_seq_port_info_get_name(const snd_seq_port_info_t* info) { return ""; }
size_t snd_pcm_hw_params_sizeof(void) { return 1024; }
size_t snd_rawmidi_info_sizeof(void) { return 1024; }
size_t snd_pcm_sw_params_sizeof(void) { return 1024; }
size_t snd_seq_client_info_sizeof(void) { return 1024; }
size_t snd_seq_port_info_sizeof(void) { return 1024; }
size_t snd_seq_port_subscribe_sizeof(void) { return 1024; }
