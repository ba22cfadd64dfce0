/* Stands in for SDL2 in the MIDI module: FluidSynth links it for an audio
 * driver the module never makes. SDL_WasInit is asked once, as FluidSynth's
 * settings are made, and answers as SDL does before SDL_Init: nothing.
 *
 * Each function is defined with the real library's prototype, from its own
 * header, so that the compiler checks every signature and return type. */

#include <SDL.h>

Uint32 SDL_WasInit(Uint32 flags) { return 0; }
int SDL_GetNumAudioDevices(int iscapture) { return 0; }
const char* SDL_GetAudioDeviceName(int index, int iscapture) { return NULL; }
SDL_AudioDeviceID SDL_OpenAudioDevice(const char* device, int iscapture,
                                      const SDL_AudioSpec* desired, SDL_AudioSpec* obtained,
                                      int allowed_changes) {
  return 0;
}
void SDL_PauseAudioDevice(SDL_AudioDeviceID dev, int pause_on) {}
void SDL_CloseAudioDevice(SDL_AudioDeviceID dev) {}
