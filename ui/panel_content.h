#pragma once

#include <QString>

#include <memory>

class PopupModel;
class QQmlEngine;
class QQuickItem;
class QQuickWindow;

// The panel's content, shared by the program and the tests so both show the same thing.
namespace PanelContent {

// Qt Quick's software renderer for every window of the process: the popup has no shader effect, and
// a GPU context costs more memory and start-up than the popup itself. A backend the user names
// (QT_QUICK_BACKEND, QMLSCENE_DEVICE, QSG_RHI_BACKEND) wins. Call it before the first Qt Quick
// window exists (it may come before the application object); later calls do nothing.
void chooseRenderer();

// Gives back to the system what the panel freed as it was hidden or destroyed (panel_content.cpp
// says what each other candidate returned).
void trimHeap();
// Shapes the C heap so that a drop can give more back; call it before any thread starts.
void shapeHeap();

// Once the panel is destroyed: takes the pages of the files only the popup reads (Qt Quick and Qml,
// the text shaping libraries, the fonts) out of this process's resident set. They are clean copies
// of files the kernel may drop at any time anyway; they stay in the page cache, and the next open
// maps them back without reading the disk.
void releaseFilePages();

// Starts, on other threads, the work the first create() would otherwise do itself before its first
// frame: reading the popup's images and loading the font database. create() waits for what is left.
void prefetch();

// A transparent window for the panel; its size then follows the content.
std::unique_ptr<QQuickWindow> makeWindow();
// The popup with its shadow margin, for model, inside window. The engine gets the image provider
// here. The caller owns the returned item; nullptr when QML failed, with its text in *error.
QQuickItem* create(QQmlEngine& engine, QQuickWindow& window, PopupModel& model, QString* error = nullptr);

} // namespace PanelContent
