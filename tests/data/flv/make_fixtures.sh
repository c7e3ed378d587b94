#!/bin/sh
# Regenerates the FLV fixtures and their reference decodings (see README).
set -e
cd "$(dirname "$0")"
tmp=$(mktemp -d)
espeak-ng -v cmn -w "$tmp/speech.wav" "你好世界"
for rate in 8000 16000 22050; do
    ffmpeg -hide_banner -loglevel error -y -i "$tmp/speech.wav" -ar $rate -ac 1 -c:a nellymoser speech$rate.flv
    ffmpeg -hide_banner -loglevel error -y -i speech$rate.flv -f s16le -acodec pcm_s16le speech$rate.s16
done
python3 peer_signs.py 12000 peer_signs.bin
rm -rf "$tmp"
