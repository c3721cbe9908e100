// What assistive technology reads from our own widgets where Qt's default
// would be wrong: volume sliders as "N percent", and the device cards'
// decorations (icon, meter) skipped. Installed once, by the first widget
// that needs it.
#pragma once

namespace choralink::ui {

void installAccessibleInterfaces();

}  // namespace choralink::ui
