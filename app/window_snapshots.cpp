#include "app/window_snapshots.h"

#include <QApplication>
#include <QGuiApplication>
#include <QPixmap>
#include <QTimer>
#include <QWidget>
#include <QWindow>

#include <algorithm>
#include <cmath>
#include <limits>
#include <system_error>

namespace choralink {

int writeWindowSnapshots(const std::filesystem::path& folder) {
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  int written = 0;
  // Windows are numbered in the order they were made, as the platform lists
  // them; QApplication::topLevelWidgets() has no stable order.
  const QWindowList windows = QGuiApplication::topLevelWindows();
  const QWidgetList widgets = QApplication::topLevelWidgets();
  for (int number = 0; number < windows.size(); ++number) {
    QWindow* window = windows[number];
    if (!window->isVisible()) continue;
    QWidget* widget = nullptr;
    for (QWidget* candidate : widgets) {
      if (candidate->windowHandle() == window) widget = candidate;
    }
    if (widget == nullptr) continue;
    const QPixmap image = widget->grab();
    if (image.isNull()) continue;
    const std::string name = snapshotFileName(number, widget->objectName().toStdString());
    const QString path = QString::fromStdString((folder / name).string());
    if (image.save(path, "PNG")) ++written;
  }
  return written;
}

void scheduleWindowSnapshots(const SnapshotRequest& request) {
  // A timer counts in int milliseconds: a longer wait is as good as never.
  const double ms =
      std::min(request.delaySeconds * 1000.0, double(std::numeric_limits<int>::max()));
  const auto delayMs = static_cast<int>(std::lround(ms));
  QTimer::singleShot(delayMs, qApp, [folder = request.folder] { writeWindowSnapshots(folder); });
}

}  // namespace choralink
