# libFuzzer targets, one per entry point that takes outside input, each with a
# seed corpus that the build makes. ctest runs each briefly; bench/fuzz.sh runs
# them long.
enable_testing()
set(QUORWIND_FUZZ_DIR ${CMAKE_BINARY_DIR}/fuzz)
set(QUORWIND_FUZZ_SECONDS 5 CACHE STRING "How long ctest runs each fuzz target")

add_custom_command(
  OUTPUT ${QUORWIND_FUZZ_DIR}/seeds.stamp
  COMMAND ${PROJECT_SOURCE_DIR}/tools/make_seeds.sh ${QUORWIND_FUZZ_DIR}/seeds
    $<TARGET_FILE:make_tone>
  COMMAND ${CMAKE_COMMAND} -E touch ${QUORWIND_FUZZ_DIR}/seeds.stamp
  DEPENDS make_tone ${PROJECT_SOURCE_DIR}/tools/make_seeds.sh
  COMMENT "Making the fuzz seed corpora")
find_package(Python3 REQUIRED COMPONENTS Interpreter)
add_custom_command(
  OUTPUT ${QUORWIND_FUZZ_DIR}/soundfont.sf2
  COMMAND Python3::Interpreter ${PROJECT_SOURCE_DIR}/tools/make_soundfont.py
    ${QUORWIND_FUZZ_DIR}/soundfont.sf2
  DEPENDS ${PROJECT_SOURCE_DIR}/tools/make_soundfont.py
  COMMENT "Making the soundfont of the MIDI fuzzing")
add_custom_target(fuzz_seeds ALL
  DEPENDS ${QUORWIND_FUZZ_DIR}/seeds.stamp ${QUORWIND_FUZZ_DIR}/soundfont.sf2)
# The MIDI module of this build plays with that tiny soundfont: fuzzing spends
# its time on the MIDI input, not on loading a General MIDI set for every input.
target_compile_definitions(quorwind-midi PRIVATE
  QUORWIND_SOUNDFONT="${QUORWIND_FUZZ_DIR}/soundfont.sf2")

# quorwind_fuzz_target(NAME SOURCE SEEDS LIBRARIES...): SEEDS names the seed
# folder the target starts from. QUORWIND_FUZZ_MALLOC_LIMIT_<NAME>, if set,
# is the largest single allocation in MB (else the RSS limit, 1024).
function(quorwind_fuzz_target name source seeds)
  add_executable(${name} ${source})
  target_link_libraries(${name} PRIVATE ${ARGN})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${QUORWIND_FUZZ_DIR})
  add_dependencies(${name} fuzz_seeds)
  set(corpus ${QUORWIND_FUZZ_DIR}/corpus/${name})
  file(MAKE_DIRECTORY ${corpus})
  add_test(NAME ${name}
    COMMAND ${name} -max_total_time=${QUORWIND_FUZZ_SECONDS} -timeout=10 -rss_limit_mb=1024
      -malloc_limit_mb=${QUORWIND_FUZZ_MALLOC_LIMIT_${name}}
      -print_final_stats=1 -artifact_prefix=${QUORWIND_FUZZ_DIR}/crash-${name}-
      ${corpus} ${QUORWIND_FUZZ_DIR}/seeds/${seeds})
  set_tests_properties(${name} PROPERTIES TIMEOUT 300 LABELS fuzz
    ENVIRONMENT LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/cmake/lsan.supp)
endfunction()

# FFmpeg's readers allocate what a header claims (1.6 GB for a damaged
# WavPack block that libwavpack refused) before reading it; in the player the
# decoding child's 1 GiB data bound makes that allocation fail and the file
# unplayable. The fuzzer lets it through,
# untouched, and still stops any target whose memory in use passes 1 GB.
set(QUORWIND_FUZZ_MALLOC_LIMIT_media_file_fuzz 2560)
foreach(target playback_fuzz utf8_fuzz service_fuzz midi_file_fuzz mp4_audio_track_fuzz)
  set(QUORWIND_FUZZ_MALLOC_LIMIT_${target} 1024)
endforeach()
quorwind_fuzz_target(playback_fuzz ${PROJECT_SOURCE_DIR}/playback/playback_fuzz.cc text playback)
quorwind_fuzz_target(utf8_fuzz ${PROJECT_SOURCE_DIR}/app/utf8_fuzz.cc text app_posix)
quorwind_fuzz_target(service_fuzz ${PROJECT_SOURCE_DIR}/mci/service/service_fuzz.cc commands mci_core)
quorwind_fuzz_target(midi_file_fuzz ${PROJECT_SOURCE_DIR}/mci/midi/midi_file_fuzz.cc midi midi_file)
target_compile_definitions(midi_file_fuzz PRIVATE
  QUORWIND_FUZZ_SOUNDFONT="${QUORWIND_FUZZ_DIR}/soundfont.sf2")
quorwind_fuzz_target(mp4_audio_track_fuzz
  ${PROJECT_SOURCE_DIR}/mci/decoders/mp4_audio_track_fuzz.cc mp4 mp4_audio_track)
quorwind_fuzz_target(media_file_fuzz ${PROJECT_SOURCE_DIR}/mci/decoders/media_file_fuzz.cc media mci_core)

# Inputs that once crashed a target, kept beside the code they concern and run
# on every build.
file(GLOB QUORWIND_MEDIA_REGRESSIONS ${PROJECT_SOURCE_DIR}/mci/decoders/fuzz_regressions/*)
add_test(NAME media_file_fuzz_regressions COMMAND media_file_fuzz ${QUORWIND_MEDIA_REGRESSIONS})
set_tests_properties(media_file_fuzz_regressions PROPERTIES LABELS fuzz
  ENVIRONMENT LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/cmake/lsan.supp)
