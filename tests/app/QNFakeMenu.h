#pragma once

#include "app/QNMenuInterface.h"

#include <QList>
#include <QStringList>

#include <memory>
#include <ostream>

// Readable QStrings in test failures.
inline void PrintTo(const QString& text, std::ostream* os) {
    *os << '"' << text.toStdString() << '"';
}

// A menu without a display: items in a list, the status item a flag with a creation count.
class QNFakeMenu : public QNMenuInterface {
public:
    struct Item : QNMenuItem {
        ItemDescription description;
        bool stateOn = false;
        bool hidden = false;
        int titleChanges = 0;

        int tag() const override { return description.tag; }
        bool isSeparator() const override { return description.separator; }
        QNMenuAction action() const override { return description.action; }
        QString title() const override { return description.title; }
        void setTitle(const QString& title) override {
            description.title = title;
            ++titleChanges;
        }
        bool state() const override { return stateOn; }
        void setState(bool on) override { stateOn = on; }
        bool isHidden() const override { return hidden; }
        void setHidden(bool value) override { hidden = value; }
        bool isEnabled() const override { return description.enabled; }
        void setEnabled(bool enabled) override { description.enabled = enabled; }
        std::shared_ptr<QNProfile> representedObject() const override { return description.representedObject; }
    };

    void setDelegate(QNMenuDelegate* value) override { delegate = value; }
    int numberOfItems() const override { return int(items.size()); }
    QNMenuItem* itemAtIndex(int index) const override {
        return index >= 0 && index < items.size() ? items.at(index).get() : nullptr;
    }
    QNMenuItem* itemWithTag(int tag) const override { return itemAtIndex(indexOfItemWithTag(tag)); }
    int indexOfItemWithTag(int tag) const override {
        for (int i = 0; i < items.size(); ++i) {
            if (items.at(i)->description.tag == tag) {
                return i;
            }
        }
        return -1;
    }
    QNMenuItem* insertItem(int index, const ItemDescription& description) override {
        auto item = std::make_shared<Item>();
        item->description = description;
        items.insert(index, item);
        return item.get();
    }
    void removeItemAtIndex(int index) override { items.removeAt(index); }

    void createStatusItem() override {
        statusItem = true;
        ++statusItemsCreated;
    }
    void removeStatusItem() override {
        statusItem = false;
        ++statusItemsRemoved;
    }
    bool hasStatusItem() const override { return statusItem; }
    void setStatusImages(const QString& image, const QString& alternate) override { images = {image, alternate}; }

    // Opens the menu the way a real one does.
    void open() {
        delegate->menuNeedsUpdate();
        delegate->menuWillOpen();
    }
    void close() { delegate->menuDidClose(); }
    void choose(int index) { delegate->menuItemChosen(*items.at(index)); }

    // "tag:title[*][-]" per visible-or-not item: * marked, - hidden; separators as "tag:---".
    QStringList layout() const {
        QStringList lines;
        for (const auto& item : items) {
            QString line = QString::number(item->description.tag) + QLatin1Char(':') +
                           (item->description.separator ? QStringLiteral("---") : item->description.title);
            if (item->stateOn) {
                line += QLatin1Char('*');
            }
            if (item->hidden) {
                line += QLatin1Char('-');
            }
            lines << line;
        }
        return lines;
    }

    QList<std::shared_ptr<Item>> items;
    QNMenuDelegate* delegate = nullptr;
    bool statusItem = false;
    int statusItemsCreated = 0;
    int statusItemsRemoved = 0;
    QStringList images;
};
