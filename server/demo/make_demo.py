#!/usr/bin/env python3
"""Writes the demo catalogue (catalog.json) and its thumbnails (media/*.png).

Run from anywhere; the output is deterministic, so re-running changes nothing.
"""
import json
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
MINUTES = [5, 10, 15, 30, 45, 60]
TITLES = {
    "Energize": ["Morning Spark", "Desk Stretch Reset", "Power Breathing", "Sun Salutation Flow",
                 "Quick Cardio Burst", "Shoulder Wake-Up", "Standing Balance", "Walk and Breathe"],
    "Relax": ["Body Scan", "Box Breathing", "Evening Unwind", "Gentle Neck Release",
              "Ocean Sounds Rest", "Gratitude Pause", "Progressive Relaxation", "Candle Focus"],
}
# Exercises per (type, minutes): 20 per type, 40 in all, more of the short ones people pick most.
COUNTS = {5: 4, 10: 4, 15: 4, 30: 3, 45: 3, 60: 2}
COLOURS = {"Energize": ((255, 170, 40), (230, 60, 50)), "Relax": ((80, 170, 230), (40, 60, 140))}


def png(width, height, pixel):
    raw = b"".join(b"\x00" + b"".join(bytes(pixel(x, y)) for x in range(width)) for y in range(height))

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)

    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b"")


def thumbnail(kind, minutes, index):
    top, bottom = COLOURS[kind]
    width, height = 160, 90
    bars = MINUTES.index(minutes) + 1  # one bar per length step, so lengths look apart

    def pixel(x, y):
        t = y / (height - 1)
        base = [int(top[i] * (1 - t) + bottom[i] * t) for i in range(3)]
        # a soft circle whose place differs per exercise
        cx, cy = 30 + index * 30, 45
        if (x - cx) ** 2 + (y - cy) ** 2 < 18 ** 2:
            base = [min(255, c + 60) for c in base]
        if y > 72 and y < 82 and x > 8 and (x - 8) // 12 < bars and (x - 8) % 12 < 8:
            base = [255, 255, 255]
        return base

    return png(width, height, pixel)


def main():
    os.makedirs(os.path.join(HERE, "media"), exist_ok=True)
    videos = []
    number = 0
    for kind in ("Energize", "Relax"):
        for minutes in MINUTES:
            for index in range(COUNTS[minutes]):
                number += 1
                title = TITLES[kind][(MINUTES.index(minutes) * 2 + index) % len(TITLES[kind])]
                slug = f"{kind.lower()}-{minutes:02d}-{index + 1}"
                with open(os.path.join(HERE, "media", slug + ".png"), "wb") as f:
                    f.write(thumbnail(kind, minutes, index))
                videos.append({
                    "objectId": f"demoVid{number:03d}",
                    "Mins": minutes,
                    "Type": kind,
                    "Title": f"{title} ({minutes} min)",
                    "ThumbnailImage": "{{mediaURL}}/" + slug + ".png",
                    "HTMLLink": f"https://videos.example.org/stillnook/{slug}.html",
                    "MP4Link": f"https://videos.example.org/stillnook/{slug}.mp4",
                })
    with open(os.path.join(HERE, "catalog.json"), "w") as f:
        json.dump({"Video": videos}, f, indent=1)
        f.write("\n")
    print(len(videos), "videos")


if __name__ == "__main__":
    main()
