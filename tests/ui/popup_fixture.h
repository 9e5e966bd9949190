#pragma once

#include "ui/popup_model.h"

#include <QImage>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QString>

#include <memory>

// The real panel content (popup and its shadow margin) in a window of its own, as the shell shows it.
struct PopupFixture {
    QQmlEngine engine;
    std::unique_ptr<QQuickWindow> window;
    QQuickItem* root = nullptr;

    PopupFixture();
    ~PopupFixture();
    bool load(PopupModel& model);
    QQuickItem* popup() const;
    // The first item with that object name, searched through the whole tree; nullptr if none.
    QQuickItem* find(const QString& name) const;
    static QQuickItem* findChild(QQuickItem* under, const QString& name);
    // Lets bindings, loaders and layouts settle, then renders.
    QImage grab();
    // The popup's pixels alone (without the shadow margin).
    QImage grabPopup();
    QPoint centreOf(QQuickItem* item) const;
    void click(QQuickItem* item);
    // Types ASCII text into the focused item, one key press a character.
    void type(const QString& text);
    // Focuses the named item and types into it; false if there is no such item.
    bool typeInto(const QString& name, const QString& text);
    bool save(const QImage& image, const QString& name) const;
};
