/* Stands in for SDL2 in the MIDI module: FluidSynth links it for an audio
 * driver the module never makes. SDL_WasInit is asked once, as FluidSynth's
 * settings are made, and answers as SDL does before SDL_Init: nothing. */
long SDL_WasInit(void) { return 0; }
long SDL_GetNumAudioDevices(void) { return 0; }
void* SDL_GetAudioDeviceName(void) { return 0; }
long SDL_OpenAudioDevice(void) { return 0; } /* 0: no device opened */
void SDL_PauseAudioDevice(void) {}
void SDL_CloseAudioDevice(void) {}
