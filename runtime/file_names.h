// File names as byte strings. On Linux a file name is any sequence of bytes;
// names written in another encoding (GB18030, Latin-1) are not valid UTF-8.
// Scripts hold paths as byte strings, Qt holds them as QString: a byte that
// is not part of valid UTF-8 crosses over as the lone surrogate U+DC00 + the
// byte (0x80..0xFF gives U+DC80..U+DCFF) and comes back as the same byte, so
// every name a listing gives can be handed back to the file methods.
#pragma once

#include <QByteArray>
#include <QDir>
#include <QString>

// A path from a script: valid UTF-8 is decoded as usual, every other byte
// becomes its surrogate; no byte is dropped (a leading byte-order mark is a
// part of the name like any other bytes).
QString pathFromBytes(const QByteArray& bytes);

// A path for a script: UTF-8, with the surrogates of undecodable bytes turned
// back into those bytes (any other lone surrogate gives "?").
QByteArray pathToBytes(const QString& path);

// Makes Qt's own file-name conversions (through the locale's codec) use the
// same mapping, so that listings keep names that are not valid UTF-8 and
// files named by them can be opened, copied, renamed and removed. Acts only
// once, and only where the locale's codec is UTF-8 (names elsewhere are not
// taken from bytes this way); for valid UTF-8 nothing changes.
void keepUndecodableFileNames();

// QDir::entryInfoList with every entry of the directory: also the names that
// end in a cut-off UTF-8 sequence, which Qt's listing would leave out.
QFileInfoList listDirectory(const QDir& dir, QDir::Filters filters, QDir::SortFlags sort);
