#!/usr/bin/env python3
"""Draws the program's two pictures with ImageMagick and writes them as palette PNG files.

Run from this folder; commit the resulting ../page_image.png and ../side_image.png (the
build carries them in the program as data).
"""
import math
import subprocess


def gear(cx, cy, outer, inner, teeth, hole):
    points = []
    steps = teeth * 4
    for i in range(steps):
        angle = 2 * math.pi * i / steps
        r = outer if i % 4 in (0, 1) else inner
        points.append(f"{cx + r * math.cos(angle):.1f},{cy + r * math.sin(angle):.1f}")
    return (f"fill '#E8892B' stroke '#8A4A10' stroke-width 1 polygon {' '.join(points)} "
            f"fill white stroke '#8A4A10' circle {cx},{cy} {cx + hole},{cy} ")


def drum(x, y, w, h, bands):
    rx, ry = w / 2, h * 0.12
    cx = x + rx
    out = (f"fill '#2F6DB5' stroke '#163A66' stroke-width 1 "
           f"rectangle {x},{y + ry} {x + w},{y + h - ry} "
           f"ellipse {cx},{y + h - ry} {rx},{ry} 0,180 "
           f"stroke none rectangle {x + 1},{y + ry} {x + w - 1},{y + h - ry} "
           f"stroke '#163A66' line {x},{y + ry} {x},{y + h - ry} line {x + w},{y + ry} {x + w},{y + h - ry} ")
    for i in range(1, bands):
        by = y + ry + (h - 2 * ry) * i / bands
        out += f"fill none stroke '#9CC3EE' ellipse {cx},{by} {rx},{ry} 0,180 "
    out += f"fill '#6FA4DF' stroke '#163A66' ellipse {cx},{y + ry} {rx},{ry} 0,360 "
    return out


def render(size, background, mvg, target):
    drawn = target.replace(".png", "-drawn.png")
    subprocess.run(["convert", "-size", size, background, "-draw", mvg, drawn], check=True)
    subprocess.run(["convert", drawn, "-colors", "96", "+dither", "-strip", "-depth", "8",
                    "PNG8:" + target], check=True)
    subprocess.run(["rm", "-f", drawn], check=True)


render("100x100", "xc:white",
       drum(14, 10, 52, 70, 3) + gear(68, 70, 26, 20, 10, 8),
       "../page_image.png")

render("160x310", "gradient:#0F2F57-#2C7A8C",
       drum(36, 70, 88, 120, 3) + gear(110, 190, 36, 28, 12, 11)
       + "fill '#FFFFFF40' stroke none circle 20,300 80,300 circle 150,20 190,20",
       "../side_image.png")
