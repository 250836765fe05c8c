#pragma once

#include <QFont>

// The log's two faces: the desktop's UI font for proportional text, a
// monospace family metric-compatible with Courier New for fixed pitch.
QFont ProportionalLogFont();
QFont FixedPitchLogFont();
