// item-window.swift: the app's menu bar item seen from outside the app, through the window
// server's list of windows (owner, layer and bounds need no screen-recording permission). For
// the macOS CI job; build it with `swiftc -O item-window.swift -o item-window`.
//
//   item-window PID wait SECONDS    waits until process PID has a window on the status-item
//                                   layer with a width, and prints it: the app is ready
//   item-window PID widths SECONDS  samples that window's width every 50 ms; fails if it changes
//                                   (the blink must keep the item's width) or the window goes
//
// Exits 0 on success, 1 on failure, 2 on a usage error.
import CoreGraphics
import Foundation

let statusLayer = Int(CGWindowLevelForKey(.statusWindow))

struct Window: CustomStringConvertible {
  let layer: Int
  let bounds: CGRect
  var description: String { "layer \(layer) at \(bounds)" }
}

func windows(of pid: pid_t) -> [Window] {
  let list = CGWindowListCopyWindowInfo([.optionAll], kCGNullWindowID) as? [[String: Any]] ?? []
  return list.compactMap { info -> Window? in
    guard (info[kCGWindowOwnerPID as String] as? NSNumber)?.int32Value == pid,
      let layer = (info[kCGWindowLayer as String] as? NSNumber)?.intValue,
      let bounds = info[kCGWindowBounds as String] as? NSDictionary,
      let rect = CGRect(dictionaryRepresentation: bounds as CFDictionary)
    else { return nil }
    return Window(layer: layer, bounds: rect)
  }
}

func item(of pid: pid_t) -> Window? {
  windows(of: pid).first { $0.layer == statusLayer && $0.bounds.width > 0 }
}

func fail(_ message: String) -> Never {
  print("item-window: \(message)")
  exit(1)
}

let arguments = CommandLine.arguments
guard arguments.count == 4, let pid = pid_t(arguments[1]), let seconds = Double(arguments[3]),
  ["wait", "widths"].contains(arguments[2])
else {
  FileHandle.standardError.write("usage: item-window PID wait|widths SECONDS\n".data(using: .utf8)!)
  exit(2)
}
let deadline = Date().addingTimeInterval(seconds)

if arguments[2] == "wait" {
  let start = Date()
  while Date() < deadline {
    if let window = item(of: pid) {
      print(String(format: "item-window: after %.1f s, ", Date().timeIntervalSince(start)) +
        "process \(pid) has its item: \(window)")
      exit(0)
    }
    if kill(pid, 0) != 0 { fail("process \(pid) is gone") }
    usleep(100_000)
  }
  fail("no window of process \(pid) on layer \(statusLayer) after \(seconds) s; "
    + "its windows: \(windows(of: pid))")
}

var widths: [CGFloat: Int] = [:]
var samples = 0
while Date() < deadline {
  guard let window = item(of: pid) else { fail("the item's window went away") }
  widths[window.bounds.width, default: 0] += 1
  samples += 1
  usleep(50_000)
}
let seen = widths.keys.sorted().map { "\($0) pt x \(widths[$0]!)" }.joined(separator: ", ")
print("item-window: \(samples) samples over \(seconds) s, widths: \(seen)")
if widths.count != 1 { fail("the item's width changed") }
