/* Stands in for ALSA's library in the MIDI module: FluidSynth links it for
 * audio and MIDI drivers the module never makes. As FluidSynth's settings
 * are made, it lists the machine's MIDI ports: here, as on a machine without
 * a sound card, there are none. Every device fails to open, as it does there;
 * should anything be asked of one, it answers nothing. */
#include <errno.h>
#include <stddef.h>

/* The card after |card|: none. */
int snd_card_next(int* card) {
  *card = -1;
  return 0;
}

const char* snd_strerror(int error) {
  (void)error;
  return "No such device";
}

#define NO_DEVICE(name) \
  long name(void) { return -ENODEV; }
#define NOTHING(name) \
  long name(void) { return 0; }
#define NO_NAME(name) \
  const char* name(void) { return ""; }
/* Room enough for any of ALSA's own structures, which callers allocate. */
#define ROOM(name) \
  size_t name(void) { return 1024; }

NO_DEVICE(snd_ctl_close)
NO_DEVICE(snd_ctl_open)
NO_DEVICE(snd_ctl_rawmidi_info)
NO_DEVICE(snd_ctl_rawmidi_next_device)
NO_DEVICE(snd_pcm_close)
NO_DEVICE(snd_pcm_hw_params)
NO_DEVICE(snd_pcm_hw_params_any)
NO_DEVICE(snd_pcm_hw_params_set_access)
NO_DEVICE(snd_pcm_hw_params_set_channels)
NO_DEVICE(snd_pcm_hw_params_set_format)
NO_DEVICE(snd_pcm_hw_params_set_period_size_near)
NO_DEVICE(snd_pcm_hw_params_set_periods_near)
NO_DEVICE(snd_pcm_hw_params_set_rate_near)
NO_DEVICE(snd_pcm_nonblock)
NO_DEVICE(snd_pcm_open)
NO_DEVICE(snd_pcm_prepare)
NO_DEVICE(snd_pcm_resume)
NO_DEVICE(snd_pcm_sw_params)
NO_DEVICE(snd_pcm_sw_params_current)
NO_DEVICE(snd_pcm_sw_params_set_avail_min)
NO_DEVICE(snd_pcm_sw_params_set_start_threshold)
NO_DEVICE(snd_pcm_wait)
NO_DEVICE(snd_pcm_writei)
NO_DEVICE(snd_pcm_writen)
NO_DEVICE(snd_rawmidi_close)
NO_DEVICE(snd_rawmidi_nonblock)
NO_DEVICE(snd_rawmidi_open)
NO_DEVICE(snd_rawmidi_poll_descriptors)
NO_DEVICE(snd_rawmidi_poll_descriptors_count)
NO_DEVICE(snd_rawmidi_read)
NO_DEVICE(snd_seq_client_info_get_client)
NO_DEVICE(snd_seq_close)
NO_DEVICE(snd_seq_connect_from)
NO_DEVICE(snd_seq_create_port)
NO_DEVICE(snd_seq_event_input)
NO_DEVICE(snd_seq_get_any_port_info)
NO_DEVICE(snd_seq_get_port_subscription)
NO_DEVICE(snd_seq_nonblock)
NO_DEVICE(snd_seq_open)
NO_DEVICE(snd_seq_poll_descriptors)
NO_DEVICE(snd_seq_poll_descriptors_count)
NO_DEVICE(snd_seq_query_next_client)
NO_DEVICE(snd_seq_query_next_port)
NO_DEVICE(snd_seq_set_client_name)
NO_DEVICE(snd_seq_subscribe_port)
NOTHING(snd_rawmidi_info_get_subdevices_count)
NOTHING(snd_rawmidi_info_set_device)
NOTHING(snd_rawmidi_info_set_stream)
NOTHING(snd_rawmidi_info_set_subdevice)
NOTHING(snd_seq_client_info_set_client)
NOTHING(snd_seq_port_info_get_addr)
NOTHING(snd_seq_port_info_get_capability)
NOTHING(snd_seq_port_info_get_type)
NOTHING(snd_seq_port_info_set_capability)
NOTHING(snd_seq_port_info_set_client)
NOTHING(snd_seq_port_info_set_midi_channels)
NOTHING(snd_seq_port_info_set_name)
NOTHING(snd_seq_port_info_set_port)
NOTHING(snd_seq_port_info_set_port_specified)
NOTHING(snd_seq_port_info_set_type)
NOTHING(snd_seq_port_subscribe_set_dest)
NOTHING(snd_seq_port_subscribe_set_sender)
NO_NAME(snd_rawmidi_info_get_name)
NO_NAME(snd_rawmidi_info_get_subdevice_name)
NO_NAME(snd_seq_port_info_get_name)
ROOM(snd_pcm_hw_params_sizeof)
ROOM(snd_rawmidi_info_sizeof)
ROOM(snd_pcm_sw_params_sizeof)
ROOM(snd_seq_client_info_sizeof)
ROOM(snd_seq_port_info_sizeof)
ROOM(snd_seq_port_subscribe_sizeof)
