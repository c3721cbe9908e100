#include "tests/ui/ui_fixture.h"

#include <QCoreApplication>
#include <QDesktopServices>

namespace choralink::test {

UrlCatcher::UrlCatcher() {
  QDesktopServices::setUrlHandler(QStringLiteral("https"), this, "open");
  QDesktopServices::setUrlHandler(QStringLiteral("http"), this, "open");
}

UrlCatcher::~UrlCatcher() {
  QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
  QDesktopServices::unsetUrlHandler(QStringLiteral("http"));
}

ui::MainWindow& UiTest::show(const AppSettings& settings, std::vector<AudioDeviceInfo> devices) {
  storeSettings(settings);
  build();
  publish(std::move(devices));
  bridge = std::make_unique<ui::ModelBridge>(*model);
  window = std::make_unique<ui::MainWindow>(*model, *bridge);
  window->show();
  settle();
  return *window;
}

void UiTest::settle() {
  for (int round = 0; round < 3; ++round) {
    clock.runDue();
    QCoreApplication::processEvents();
  }
}

void UiTest::click(QAbstractButton* button) {
  ASSERT_NE(button, nullptr);
  button->click();
  settle();
}

void UiTest::TearDown() {
  window.reset();
  bridge.reset();
}

}  // namespace choralink::test
