/* Stands in for libinstpatch in the MIDI module: FluidSynth links it to read
 * DLS files, and the module gives it only SoundFont files, through a loader
 * that is asked first. Making a synthesiser asks the library's version, then
 * initialises it: here that is nothing, where the library's own start takes
 * milliseconds. Should FluidSynth ever try a file with it, the file cannot be
 * made, as for a file that is not DLS. */
void ipatch_version(unsigned* major, unsigned* minor, unsigned* micro) {
  *major = *minor = *micro = 0;
}
void ipatch_init(void) {}
void ipatch_close(void) {}
const char* ipatch_gerror_message(void) { return ""; }

#define FAILS(name) \
  long name(void) { return 0; }

FAILS(ipatch_container_get_type)
FAILS(ipatch_container_init_iter)
FAILS(ipatch_converter_add_input)
FAILS(ipatch_converter_add_output)
FAILS(ipatch_converter_convert)
FAILS(ipatch_create_converter)
FAILS(ipatch_dls2_inst_first)
FAILS(ipatch_dls2_inst_get_midi_locale)
FAILS(ipatch_dls2_inst_get_type)
FAILS(ipatch_dls2_inst_next)
FAILS(ipatch_dls_file_get_type)
FAILS(ipatch_dls_file_new)
FAILS(ipatch_dls_reader_load)
FAILS(ipatch_dls_reader_new)
FAILS(ipatch_file_close)
FAILS(ipatch_file_get_type)
FAILS(ipatch_file_identify)
FAILS(ipatch_file_identify_open)
FAILS(ipatch_file_open)
FAILS(ipatch_item_get_flags)
FAILS(ipatch_sample_store_cache_close)
FAILS(ipatch_sample_store_cache_get_type)
FAILS(ipatch_sample_store_cache_open)
FAILS(ipatch_sf2_voice_cache_get_type)
FAILS(ipatch_sf2_voice_cache_new)
FAILS(ipatch_sf2_voice_cache_sample_data)
FAILS(ipatch_sf2_voice_cache_select)
FAILS(ipatch_sf2_voice_cache_set_default_mods)
