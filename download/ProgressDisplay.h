// Shows the HTTP client's progress in the window: the bar, the rotating status line, and one
// message pump per notification so that the window stays responsive during the blocking download.
#pragma once

namespace korvane {

class IMainWindowView;
class TIdHTTPProgress;

void ProgressChanged(IMainWindowView& AView, const TIdHTTPProgress& Sender);

}  // namespace korvane
