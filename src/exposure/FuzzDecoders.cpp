// libFuzzer entry: every unit type decodes arbitrary bytes with arbitrary state.
#include "exposure/ExposureDecoders.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    static const QLocale locales[] = {QLocale(QLocale::German, QLocale::Germany), QLocale(QLocale::English, QLocale::UnitedStates)};
    DecoderInput in;
    in.unitType = qint16(data[0] % 7);
    in.projectionCounter = qint16(data[1] % 5); // the counter never stands above 4 between calls
    in.debug = data[1] & 0x40;
    in.locale = locales[(data[1] >> 7) & 1];
    in.projectionBox = (data[1] & 0x20) ? QStringLiteral("L CC") : QString();
    in.now = QDateTime(QDate(2026, 12, 6), QTime(12, 0));
    const QByteArray bytes(reinterpret_cast<const char *>(data + 2), qsizetype(size - 2));
    in.buffer = QString::fromLatin1(bytes);
    in.doseLine = in.buffer.left(64);
    const DecoderOutput out = DecodeExposure(in);
    if (out.record && (!out.record->Status || *out.record->Status != QLatin1String("0")))
        __builtin_trap();
    if (out.projectionCounter < 0 || out.projectionCounter > 5)
        __builtin_trap();
    if (out.record && out.record->Datum && !out.record->Datum->isEmpty())
        (void)ParseExposureDate(*out.record->Datum, in.locale);
    return 0;
}
