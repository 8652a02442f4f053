#include "QNNameTable.h"

#include "QNDNSMessage.h"

#include <QList>

namespace {

constexpr quint32 kFakeCount = ~QNNameTable::kFakeMask + 1;

} // namespace

QNNameTable::QNNameTable(qsizetype capacity)
    : _capacity(qMax<qsizetype>(1, capacity)) {}

QByteArray QNNameTable::key(char kind, const QNAddressWords& address) {
    QByteArray bytes(1, kind);
    for (const quint32 word : address) {
        bytes += QByteArray::number(word, 16) + ':';
    }
    return bytes;
}

void QNNameTable::touch(Order::iterator it) {
    _order.splice(_order.begin(), _order, it);
}

void QNNameTable::trim() {
    while (qsizetype(_order.size()) > _capacity) {
        const Entry& last = _order.back();
        if (last.key.startsWith('f')) {
            _fakeByName.remove(last.name);
        }
        _byKey.remove(last.key);
        _order.pop_back();
    }
}

void QNNameTable::put(const QByteArray& entryKey, const QString& name) {
    const auto found = _byKey.constFind(entryKey);
    if (found != _byKey.cend()) {
        Order::iterator it = *found;
        _dirty = _dirty || it->name != name;
        it->name = name;
        touch(it);
        return;
    }
    _order.push_front(Entry{entryKey, name});
    _byKey.insert(entryKey, _order.begin());
    _dirty = true;
    trim();
}

quint32 QNNameTable::fakeAddress(const QString& name) {
    if (const auto it = _fakeByName.constFind(name); it != _fakeByName.cend()) {
        const quint32 address = *it;
        touch(_byKey.value(key('f', {0, 0, 0, address})));
        return address;
    }
    // Addresses are handed out in turn, skipping those still held (the network and broadcast-looking ends
    // are never used); a full table has dropped its oldest entry, so one is always free.
    quint32 address = 0;
    for (;;) {
        address = kFakeNetwork | _nextFake;
        _nextFake = _nextFake + 1 >= kFakeCount - 1 ? 1 : _nextFake + 1;
        if (!_byKey.contains(key('f', {0, 0, 0, address}))) {
            break;
        }
    }
    _fakeByName.insert(name, address);
    put(key('f', {0, 0, 0, address}), name);
    return address;
}

void QNNameTable::remember(const QNAddressWords& address, bool isIPv6, const QString& name) {
    put(key(isIPv6 ? '6' : '4', address), name);
}

std::optional<QString> QNNameTable::nameFor(const QNAddressWords& address, bool isIPv6) {
    QByteArray entryKey = key(isIPv6 ? '6' : '4', address);
    if (!isIPv6 && isFake(address[3])) {
        entryKey = key('f', address);
    }
    const auto found = _byKey.constFind(entryKey);
    if (found == _byKey.cend()) {
        return std::nullopt;
    }
    Order::iterator it = *found;
    touch(it);
    return it->name;
}

QByteArray QNNameTable::save() {
    // Oldest first, so reading back in order leaves the same recency.
    QByteArray text;
    for (auto it = _order.crbegin(); it != _order.crend(); ++it) {
        text += it->key + ' ' + it->name.toLatin1() + '\n';
    }
    _dirty = false;
    return text;
}

void QNNameTable::load(const QByteArray& text) {
    for (const QByteArray& line : text.split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() != 2 || fields[0].size() < 2 || !QString::fromLatin1(fields[1]).isSimpleText()) {
            continue;
        }
        const char kind = fields[0].at(0);
        const QList<QByteArray> words = fields[0].mid(1).split(':');
        const QString name = QString::fromLatin1(fields[1]);
        if ((kind != 'f' && kind != '4' && kind != '6') || words.size() != 5 || !words[4].isEmpty() ||
            !QNDNSMessage::isValidName(name)) {
            continue;
        }
        QNAddressWords address{};
        bool valid = true;
        for (int index = 0; index < 4; ++index) {
            bool ok = false;
            address[size_t(index)] = words[index].toUInt(&ok, 16);
            valid = valid && ok;
        }
        if (!valid || (kind == 'f' && (address[0] | address[1] | address[2]) != 0) ||
            (kind == 'f' && !isFake(address[3]))) {
            continue;
        }
        if (kind == 'f') {
            // A name holds one fake address, and a fake address one name.
            if (_fakeByName.contains(name) || _byKey.contains(key(kind, address))) {
                continue;
            }
            _fakeByName.insert(name, address[3]);
            _nextFake = qMax(_nextFake, (address[3] & ~kFakeMask) + 1) % (kFakeCount - 1);
            _nextFake = qMax<quint32>(_nextFake, 1);
        }
        put(key(kind, address), name);
    }
    _dirty = false;
}
