#pragma once

#include <QColor>

// Colours are stored as 0x00BBGGRR.
inline QColor FromBgr(qint32 value)
{
    return QColor(value & 0xFF, (value >> 8) & 0xFF, (value >> 16) & 0xFF);
}

inline qint32 ToBgr(const QColor &c)
{
    return static_cast<qint32>((c.blue() << 16) | (c.green() << 8) | c.red());
}
