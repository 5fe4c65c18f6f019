#pragma once

#include <QLabel>
#include <QTimer>

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "capture/PacketSource.h"
#include "rows/CaptureLists.h"
#include "ui/WindowLayout.h"

namespace ravelin {

/// The window's status line: the state text, the kernel's counters once it dropped packets and
/// the packet and HTTP counters in the bottom row; the attribution mode and the address being
/// listened on in the toolbar's row. While capture runs, a timer keeps the counters current.
class StatusLine {
public:
    using StatisticsSource = std::function<std::optional<CaptureStatistics>()>;

    static constexpr int kCounterTimerMs = 100;
    /// After capture stops, the lists catch up with the rows listed last within this time.
    static constexpr int kCatchUpMs = 60;
    /// How long the report of something done ("Capture saved") stands before the capture's
    /// state shows again.
    static constexpr int kActivityShownMs = 3000;

    /// Makes the labels as children of `window`, each sized once for the longest text it shows.
    /// `statistics` reads the kernel's counters of the running capture.
    StatusLine(QWidget& window, const CaptureLists& lists, StatisticsSource statistics);

    /// Shows "State: <text>." for the capture's state ("Ready", "Listening"), which stands
    /// until the state changes.
    void ShowState(std::string_view text);
    /// Shows "State: <text>." for something the user had done ("Linking packets", "Clean data
    /// done", "Capture saved"); kActivityShownMs later the capture's state shows again, so that
    /// the line never keeps telling of a save while capture goes on.
    void ShowActivity(std::string_view text);
    /// Shows the row counts of both lists.
    void UpdateCounters();
    /// The counters follow the lists every kCounterTimerMs, from now until StopCounterTimer.
    void StartCounterTimer();
    /// The counters take the lists' last rows, now and once the lists caught up, and then stay.
    void StopCounterTimer();
    /// Shows the kernel's received and dropped counts once it dropped any.
    void ShowStatistics(const std::optional<CaptureStatistics>& statistics);
    /// Shows the address being listened on.
    void ShowAddress(const std::string& text);
    /// Shows how packets are attributed to processes ("kernel events", "socket tables (...)").
    void ShowAttributionMode(const std::string& mode);

    /// Tells the layout the labels' sizes, which it keeps.
    void Measure(LayoutInput& input) const;
    /// Puts the labels where the layout placed them.
    void Place(const WindowLayout& layout);

    /// The labels, for the window's layout and its tests.
    QLabel* stateLabel() const { return stateLabel_; }
    QLabel* packetsLabel() const { return packetsLabel_; }
    QLabel* httpsLabel() const { return httpsLabel_; }
    QLabel* infoLabel() const { return infoLabel_; }
    QLabel* modeLabel() const { return modeLabel_; }
    QLabel* lossLabel() const { return lossLabel_; }

private:
    void ShowStateText(std::string_view text);
    void PlaceLoss();
    void PlaceMode();

    const CaptureLists& lists_;
    StatisticsSource statistics_;
    // Owned by the window.
    QLabel* infoLabel_;
    QLabel* stateLabel_;
    QLabel* packetsLabel_;
    QLabel* httpsLabel_;
    QLabel* modeLabel_;
    QLabel* lossLabel_;
    QTimer counterTimer_;
    QTimer catchUpTimer_;
    QTimer activityTimer_;
    std::string state_ = "Ready";
    bool lossShown_ = false;
    QString lossText_;
    QString modeText_;       // with the reason for the socket tables
    QString shortModeText_;  // without it, where the row has no room for it
    LayoutRect lossRoom_;
    LayoutRect modeRoom_;
};

}  // namespace ravelin
