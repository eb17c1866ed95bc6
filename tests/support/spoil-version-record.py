#!/usr/bin/python3
"""Copies a PE file with the signature of its version record's fixed part (VS_FIXEDFILEINFO)
changed, as no resource compiler writes it: a version record that does not read.

    spoil-version-record.py IN OUT"""

import sys

FIXED_PART_SIGNATURE = (0xFEEF04BD).to_bytes(4, "little")

with open(sys.argv[1], "rb") as source:
    image = source.read()
if image.count(FIXED_PART_SIGNATURE) != 1:
    sys.exit(f"{sys.argv[1]}: not one version record")
with open(sys.argv[2], "wb") as spoiled:
    spoiled.write(image.replace(FIXED_PART_SIGNATURE, (0xFEEF04BE).to_bytes(4, "little")))
