#pragma once

#include <QByteArray>

class SecretKey;

// The authenticated form of a stored secret: a version mark, a fresh 96-bit
// nonce, the AES-256-GCM cipher text and its 128-bit tag. The place the
// secret belongs to (its service and section) goes in as associated data,
// with the mark, so a record moved to another place does not open.
class SealedRecord
{
public:
    static constexpr int kNonceSize = 12;
    static constexpr int kTagSize = 16;

    static QByteArray mark();
    static bool isSealed(const QByteArray& stored);
    // Empty on failure.
    static QByteArray seal(const SecretKey& key, const QByteArray& place, const QByteArray& plain);
    // False, leaving plain untouched, unless the record is whole and was
    // sealed with this key for this place.
    static bool open(const SecretKey& key, const QByteArray& place, const QByteArray& stored, QByteArray& plain);
};
