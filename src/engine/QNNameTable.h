#pragma once

#include "util/QNUtilities.h"

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QtGlobal>

#include <list>
#include <optional>

// The names behind addresses: fake IPv4 addresses handed out for names resolved remotely (from
// 198.18.0.0/15, which no real host uses), and the addresses of answers forwarded for names resolved
// locally. Bounded: past its capacity the entry used least recently goes. Saved and read back as a
// plain text file so names outlive an engine restart; a file that does not parse is ignored line by line.
class QNNameTable {
public:
    static constexpr quint32 kFakeNetwork = 0xC6120000; // 198.18.0.0
    static constexpr quint32 kFakeMask = 0xFFFE0000;    // /15
    static constexpr qsizetype kDefaultCapacity = 65536;

    explicit QNNameTable(qsizetype capacity = kDefaultCapacity);

    static bool isFake(quint32 ipv4) { return (ipv4 & kFakeMask) == kFakeNetwork; }

    // The fake address for a name, the same one for as long as the name stays in the table.
    quint32 fakeAddress(const QString& name);
    // Remembers that a forwarded answer gave this address for the name.
    void remember(const QNAddressWords& address, bool isIPv6, const QString& name);
    // The name behind an address (a fake one or a remembered answer), or nullopt.
    std::optional<QString> nameFor(const QNAddressWords& address, bool isIPv6);

    qsizetype size() const { return qsizetype(_order.size()); }
    bool isDirty() const { return _dirty; }

    QByteArray save();
    void load(const QByteArray& text);

private:
    struct Entry {
        QByteArray key; // "f" or "4"/"6" followed by the address words
        QString name;
    };
    using Order = std::list<Entry>;

    static QByteArray key(char kind, const QNAddressWords& address);
    void put(const QByteArray& key, const QString& name);
    void touch(Order::iterator it);
    void trim();

    qsizetype _capacity;
    Order _order; // most recently used first
    QHash<QByteArray, Order::iterator> _byKey;
    QHash<QString, quint32> _fakeByName;
    quint32 _nextFake = 1;
    bool _dirty = false;
};
