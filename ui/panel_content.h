#pragma once

#include <QString>

#include <memory>

class PopupModel;
class QQmlEngine;
class QQuickItem;
class QQuickWindow;

// The panel's content, shared by the program and the tests so both show the same thing.
namespace PanelContent {

// A transparent window for the panel; its size then follows the content.
std::unique_ptr<QQuickWindow> makeWindow();
// The popup with its shadow margin, for model, inside window. The engine gets the image provider
// here. The caller owns the returned item; nullptr when QML failed, with its text in *error.
QQuickItem* create(QQmlEngine& engine, QQuickWindow& window, PopupModel& model, QString* error = nullptr);

} // namespace PanelContent
