#pragma once

// Messages in the X-ray units' own layouts, made from the values a test
// needs, and their decoding into the journal the way the serial link's
// complete message is decoded (ExposureCapture::dbFill).
#include "core/Settings.h"
#include "exposure/ExposureCapture.h"
#include "exposure/ExposureDecoders.h"
#include "store/Database.h"
#include "store/DatabasePaths.h"

#include <QDate>
#include <QSqlRecord>
#include <QString>

using namespace Qt::StringLiterals;

// Unit type 1: "Name: date time projection target filter kV-set kV mAs s AEC kg cm dose".
struct SophieExposure {
    QDate day{2026, 12, 7}; // the unit sends its own date
    QString time = u"10:22:31"_s;
    QString projection = u"L-CC"_s;
    QString target = u"W"_s, filter = u"Rh"_s;
    int kv = 28;
    QString mAs = u"63"_s, seconds = u"1.25"_s, kg = u"12"_s, cm = u"4.5"_s, mGy = u"1.23"_s;
};
inline QString SophieMessage(const SophieExposure &e = {})
{
    return u"\x02SOPHIE V3\r\nName: %1 %2 %3 %4 %5 %6 %6kV %7mAs %8s AEC %9kg %10cm %11mGy\r\n"_s.arg(e.day.toString(Qt::ISODate), e.time,
                                                                                                        e.projection, e.target, e.filter)
        .arg(e.kv)
        .arg(e.mAs, e.seconds, e.kg, e.cm, e.mGy);
}

// Unit type 4: one line of groups told apart by their lengths; the projection
// comes from the unit's cycle (R CC, L CC, R MLO, L MLO).
struct SenoExposure {
    int kv = 28, mAs = 100, ms = 450, force = 12, mm = 45; // kV and force two digits, mAs and ms three
};
inline QString SenoMessage(const SenoExposure &e = {})
{
    return u"ABCDEF0%1%2 %3ms%4 %5mm 0 DIGITAL\r\n"_s.arg(e.kv, 2, 10, QChar(u'0'))
        .arg(e.mAs, 3, 10, QChar(u'0'))
        .arg(e.ms, 3, 10, QChar(u'0'))
        .arg(e.force, 2, 10, QChar(u'0'))
        .arg(e.mm, 2, 10, QChar(u'0'));
}

// Unit type 5: the dose line and the next; the projection comes from the
// unit's cycle (L CC, R CC, L MLO, R MLO).
struct HfeExposure {
    QString mGy = u"0.98"_s;
    int kv = 28;
    QString mAs = u"80"_s;
    int ms = 450, mm = 45, newton = 120;
};
inline QString HfeMessage(const HfeExposure &e = {})
{
    return u"SM 1000 V2.1\r\n%1 mGy W/Rh %2 kV %3 mAs AEC\r\n 2 Grid %4LF ms %5 mm Comp %6 N\r\n*\r\n"_s.arg(e.mGy)
        .arg(e.kv)
        .arg(e.mAs)
        .arg(e.ms)
        .arg(e.mm)
        .arg(e.newton);
}

// Unit type 3: "|"-separated fields; 2 the projection ("LCC"), 10 kV, 12 mAs, 17 force, 18 thickness, 21 dose.
// An empty field is a value the unit did not send.
inline QString LoradMessage(const QString &projection = u"LCC"_s, int kv = 28, const QString &cm = u"4.5"_s, const QString &mGy = u"1.23"_s,
                            const QString &mAs = u"63"_s, const QString &newton = u"120"_s)
{
    return u"M4|0017|%1|AEC|Mo/Mo|Grid|06.12.26|14:05|x|y|%2 kV|z|%3 mAs|a|b|c|d|%4 N|%5 cm|e|f|%6 mGy|\r\n"_s.arg(projection)
        .arg(kv)
        .arg(mAs, newton, cm, mGy);
}

// The journal's newest row id; 0 when it is empty or cannot be read.
inline qlonglong NewestJournalId()
{
    DatabaseSession db(UserDatabase);
    const DbResult r = db.ok() ? Execute(UserDatabase, u"SELECT MAX(ID) FROM tblDosis"_s) : DbResult{};
    return r.rows.isEmpty() ? 0 : r.rows.first().value(0).toLongLong();
}

// The unit type's message decoded as the capture decodes a complete one;
// the journal row it wrote, or -1 when it wrote none.
inline qlonglong DecodeUnitMessage(ExposureCapture &capture, qint16 unitType, const QString &message)
{
    Settings.XrayComm = unitType;
    const qlonglong before = NewestJournalId();
    capture.setBuffer(message);
    capture.dbFill();
    const qlonglong after = NewestJournalId();
    return after > before ? after : -1;
}
