// Provider.h: a table of the ways a platform part can be provided, and the rule that picks one.
// In the spirit of GLFW's platform table: each entry probes cheaply, then connects; an entry
// the user asked for by name fails loudly, one merely tried in turn fails quietly and says why
// only if none works.
#pragma once

#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace platform {

template <class Part, class Context>
struct Provider {
  std::string_view id;       // what --status-bar= or --idle-source= calls it
  std::string_view summary;  // one line for --help

  // What the environment says, without talking to anyone: empty when the provider may work
  // here, else why not ("WAYLAND_DISPLAY is not set").
  std::string (*probe)(const Context& context);

  // Talks to its server and builds the part, within a short timeout. Null, with `whyNot` set,
  // when the server is not there or lacks what it needs.
  std::unique_ptr<Part> (*connect)(Context& context, std::string& whyNot);

  // Only when named: auto passes it by (another provider already tries what it does).
  bool byNameOnly = false;
};

template <class Part>
struct Choice {
  std::unique_ptr<Part> part;  // null when nothing works
  std::string_view id;         // the provider chosen
  // Every provider tried and failed, as "id: why", joined by "; ".
  std::string failures;
};

// `wanted` is "auto" (each provider in table order but those by name only, the first that
// works) or one provider's id. An unknown id is a failure of its own.
template <class Part, class Context>
Choice<Part> choose(std::span<const Provider<Part, Context>> table, std::string_view wanted,
                    Context& context) {
  Choice<Part> choice;
  bool known = false;
  for (const auto& provider : table) {
    if (wanted == "auto" ? provider.byNameOnly : wanted != provider.id) continue;
    known = true;
    std::string whyNot = provider.probe(context);
    if (whyNot.empty()) {
      choice.part = provider.connect(context, whyNot);
      if (choice.part) {
        choice.id = provider.id;
        return choice;
      }
      if (whyNot.empty()) whyNot = "failed";
    }
    if (!choice.failures.empty()) choice.failures += "; ";
    choice.failures += std::string(provider.id) + ": " + whyNot;
  }
  if (!known) choice.failures = std::string(wanted) + ": unknown";
  return choice;
}

// Whether `id` names a provider of `table`, or is "auto".
template <class Part, class Context>
bool isProvider(std::span<const Provider<Part, Context>> table, std::string_view id) {
  if (id == "auto") return true;
  for (const auto& provider : table) {
    if (provider.id == id) return true;
  }
  return false;
}

}  // namespace platform
