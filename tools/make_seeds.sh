#!/usr/bin/env bash
# Makes the seed corpora of the fuzz targets in DIR: texts, command texts and
# one short valid file of each media format.
#   make_seeds.sh DIR MAKE_TONE
set -euo pipefail
dir="$1"
make_tone="$2"
rm -rf "$dir"
mkdir -p "$dir/text" "$dir/commands" "$dir/media" "$dir/mp4" "$dir/midi"

i=0
for text in '"C:\My Music\a b.wav"' '750' ' 150' '12.5' '2147483648' '-3.5e2' 'caf\xc3\xa9 \xe2\x99\xab' \
  '\xff\xfe\xed\xa0\x80'; do
  printf -- "$text" >"$dir/text/$((i++))"
done
i=0
for text in '\x14open "/tmp/a.wav"' '\x14status "/tmp/a.wav" length' '\x00close "/tmp/a.wav"' \
  '\x05play "/tmp/a.wav"' '\x40STATUS /tmp/x LENGTH' '\x14open "unclosed'; do
  printf -- "$text" >"$dir/commands/$((i++))"
done

media="$dir/media"
for spec in wav:8000:1 wav24:11025:2 wavfloat:48000:6 ulaw:8000:1 imaadpcm:22050:2 aiff:44100:1 \
  flac:44100:2 ogg:44100:1 opus:48000:2 mp3:44100:2 mp3vbr:22050:1; do
  IFS=: read -r format rate channels <<<"$spec"
  "$make_tone" "$media/tone-$format" "$format" 0.05 "$rate" "$channels"
done
if command -v ffmpeg >/dev/null; then
  for spec in aac:mp4 aac:adts wmav2:asf ac3:ac3 alac:mov libopus:webm libopus:matroska libvorbis:webm wavpack:wv \
    mp3:avi; do
    ffmpeg -loglevel quiet -y -f lavfi -i sine=duration=0.05 -c:a "${spec%%:*}" \
      -f "${spec##*:}" "$media/tone-${spec%%:*}-${spec##*:}" </dev/null || true
  done
fi
# A type 1 MIDI file: a tempo track and one note.
printf 'MThd\0\0\0\6\0\1\0\2\1\xe0MTrk\0\0\0\13\0\xff\x51\3\7\xa1\x20\0\xff\x2f\0MTrk\0\0\0\17\0\xc0\x13\0\x90\x45\x64\x60\x80\x45\0\0\xff\x2f\0' \
  >"$media/song.mid"

# The MIDI target's own: type 0 with running status past a meta event, drums
# on channel 10 and a program change, system exclusive, and an RMID file.
midi="$dir/midi"
cp "$media/song.mid" "$midi/type1.mid"
printf 'MThd\0\0\0\6\0\0\0\1\0\x60MTrk\0\0\0\33\0\xc1\x28\0\x91\x40\x50\0\xff\x01\1x\x10\x40\0\0\x99\x24\x64\x20\x89\x24\0\0\xff\x2f\0' \
  >"$midi/type0-running-status.mid"
printf 'MThd\0\0\0\6\0\0\0\1\0\x60MTrk\0\0\0\23\0\xf0\5\x7e\x7f\x09\x01\xf7\0\x90\x3c\x40\x30\x3c\0\0\xff\x2f\0' \
  >"$midi/sysex.mid"
{ printf 'RIFF\x44\0\0\0RMIDdata\x38\0\0\0'; cat "$media/song.mid"; } >"$midi/song.rmi"

# The MP4 target's own: AAC-LC as encoders write it, with and without an
# edit list, the sample table first, mono, fragmented, and ALAC.
if command -v ffmpeg >/dev/null; then
  for spec in plain: faststart:-movflags,+faststart noedits:-use_editlist,0 \
    mono:-ac,1 fragmented:-movflags,frag_keyframe+empty_moov alac:-c:a,alac; do
    name="${spec%%:*}"
    IFS=, read -r -a options <<<"${spec#*:}"
    ffmpeg -loglevel quiet -y -f lavfi -i sine=duration=0.1 -c:a aac "${options[@]}" \
      -f mp4 "$dir/mp4/$name" </dev/null || true
  done
fi
