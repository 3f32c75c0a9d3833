#!/bin/sh
# Renders the three button images from cloud.svg.in (needs rsvg-convert,
# Debian package librsvg2-bin). The PNGs are committed; run this only after
# changing the drawing.
set -e
cd "$(dirname "$0")"
render() {
    sed "s/@COLOR@/$2/; s/@SCALE@/$3/" cloud.svg.in > "$1.svg"
    rsvg-convert -w 144 -h 144 -b none "$1.svg" -o "$1.png"
    rm "$1.svg"
}
render cloudNormal '#ACACAC' 1
render cloudHover '#00AEEF' 1
render cloudPressed '#00AEEF' 0.92
