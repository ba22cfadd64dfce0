/* Stands in for libinstpatch in the MIDI module: FluidSynth links it to read
 * DLS files, and the module gives it only SoundFont files, through a loader
 * that is asked first. Making a synthesiser asks the library's version, then
 * initialises it: here that is nothing, where the library's own start takes
 * milliseconds. Should FluidSynth ever try a file with it, the file cannot be
 * made, as for a file that is not DLS.
 *
 * Each function is defined with the real library's prototype, from its own
 * header, so that the compiler checks every signature and return type. */

#include <libinstpatch/libinstpatch.h>

void ipatch_version(guint* major, guint* minor, guint* micro) { *major = *minor = *micro = 0; }

GType ipatch_container_get_type(void) { return 0; }
gboolean ipatch_container_init_iter(IpatchContainer* container, IpatchIter* iter, GType type) {
  return 0;
}
void ipatch_converter_add_input(IpatchConverter* converter, GObject* object) {}
void ipatch_converter_add_output(IpatchConverter* converter, GObject* object) {}
gboolean ipatch_converter_convert(IpatchConverter* converter, GError** err) { return 0; }
IpatchConverter* ipatch_create_converter(GType src_type, GType dest_type) { return 0; }
IpatchDLS2Inst* ipatch_dls2_inst_first(IpatchIter* iter) { return 0; }
void ipatch_dls2_inst_get_midi_locale(IpatchDLS2Inst* inst, int* bank, int* program) {}
GType ipatch_dls2_inst_get_type(void) { return 0; }
IpatchDLS2Inst* ipatch_dls2_inst_next(IpatchIter* iter) { return 0; }
GType ipatch_dls_file_get_type(void) { return 0; }
IpatchDLSFile* ipatch_dls_file_new(void) { return 0; }
IpatchDLS2* ipatch_dls_reader_load(IpatchDLSReader* reader, GError** err) { return 0; }
IpatchDLSReader* ipatch_dls_reader_new(IpatchFileHandle* handle) { return 0; }
void ipatch_file_close(IpatchFileHandle* handle) {}
GType ipatch_file_get_type(void) { return 0; }
GType ipatch_file_identify(IpatchFile* file, GError** err) { return 0; }
IpatchFileHandle* ipatch_file_identify_open(const char* file_name, GError** err) { return 0; }
IpatchFileHandle* ipatch_file_open(IpatchFile* file, const char* file_name, const char* mode,
                                   GError** err) {
  return 0;
}
int ipatch_item_get_flags(gpointer item) { return 0; }
void ipatch_sample_store_cache_close(IpatchSampleStoreCache* store) {}
GType ipatch_sample_store_cache_get_type(void) { return 0; }
void ipatch_sample_store_cache_open(IpatchSampleStoreCache* store) {}
GType ipatch_sf2_voice_cache_get_type(void) { return 0; }
IpatchSF2VoiceCache* ipatch_sf2_voice_cache_new(IpatchSF2VoiceSelInfo* info, int sel_count) {
  return 0;
}
gboolean ipatch_sf2_voice_cache_sample_data(IpatchSF2Voice* voice, GError** err) { return 0; }
int ipatch_sf2_voice_cache_select(IpatchSF2VoiceCache* cache, int* select_values,
                                  guint16* index_array, guint16 max_indexes) {
  return 0;
}
void ipatch_sf2_voice_cache_set_default_mods(IpatchSF2VoiceCache* cache, GSList* mods) {}
void ipatch_init(void) {}
void ipatch_close(void) {}
const char* ipatch_gerror_message(GError* err) { return ""; }
