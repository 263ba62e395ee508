#pragma once
// Extra monitors on an X screen, made the way real outputs are driven: a disconnected RandR
// output with a free CRTC gets a mode "Lumenbrook-<W>x<H>" of the stream's exact size and rate
// (CVT reduced-blanking timings from libxcvt), the screen grows, and the CRTC is set right of
// the rightmost active one, so the pointer and window managers treat it as a monitor. Removing
// it disables the CRTC, deletes the mode and shrinks the screen back.
//
// Threads: any thread may call any member; requests are serialised inside. RandR events
// (outputs plugged, layout changes) are read on a thread of its own, "x11-randr".

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/input/host_event.h"
#include "core/util/result.h"
#include "desktop/x11/x11_capture.h"

namespace lumenbrook {

class VirtualMonitors {
 public:
  using Log = std::function<void(const std::string&)>;

  // One monitor; destroying it removes it from the screen (also when the connection to the
  // server is gone already: then there is nothing left to remove).
  class Monitor {
   public:
    virtual ~Monitor() = default;
    // Where it sits on the root window.
    virtual ScreenRegion region() const = 0;
    virtual std::string output() const = 0;
    // Called once, on the event thread, when a real monitor is plugged into the output this
    // one uses; by then the virtual monitor is removed already. Set it right after create()
    // (if the monitor was lost before, the handler runs at once, on the calling thread). It
    // may destroy this monitor, and the VirtualMonitors too.
    virtual void onLost(std::function<void()> handler) = 0;
  };

  // Connects to `display` and removes "Lumenbrook-" modes (and the CRTCs showing them) that a
  // process which died left behind. The error says why RandR cannot be used.
  static Result<std::unique_ptr<VirtualMonitors>, std::string> open(const std::string& display,
                                                                    Log log = {});
  virtual ~VirtualMonitors() = default;

  // A new monitor of `width` x `height` at `fps` right of the rightmost active CRTC, top at
  // y = 0. Monitors never move: removing one shrinks the screen only by what lies right of
  // or below the rest, so a gap may stay where it was. The error is a sentence saying why
  // none can be made (no disconnected output with a free CRTC, the screen cannot grow that
  // far, the server refused the mode).
  virtual Result<std::unique_ptr<Monitor>, std::string> create(int width, int height, int fps) = 0;

  // The monitor to mirror where no virtual one can be made: the primary output's CRTC, else
  // the first active one, else the whole screen.
  virtual ScreenRegion mainMonitor() = 0;
  // The bounding box of every active CRTC (virtual monitors included), following layout
  // changes; the whole screen when none is active.
  virtual Rect desktopBounds() = 0;

  // What the event thread does when RandR reports `output` (an output's XID) connected: a
  // monitor on that output is removed and its onLost handler runs, here on the calling thread.
  // Public so that a test can stand in for a real monitor being plugged in.
  virtual void handleOutputConnected(std::uint32_t output) = 0;
};

}  // namespace lumenbrook
