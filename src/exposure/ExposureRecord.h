#pragma once

#include <QString>
#include <optional>

// One new row of tblDosis as a decoder produced it. An unset column is stored
// as NULL. Datum holds the decoder's date text ("17.03.2005", a short date);
// the journal parses it into the stored date.
struct ExposureRecord {
    std::optional<QString> KVP;
    std::optional<QString> ma;
    std::optional<QString> Zeit;
    std::optional<QString> Dicke;
    std::optional<QString> mGy;
    std::optional<QString> Druck;
    std::optional<QString> Datum;
    std::optional<QString> Sonstiges;
    std::optional<QString> Status;
    std::optional<QString> expZeit;
    std::optional<QString> Patname;
};
