// Serves the automation protocol on a Unix socket, on threads of its own, so queries
// are answered while the UI thread is busy inside a handler.
#pragma once

#include "corert/window/window_backend.h"

#include <memory>
#include <string>

namespace corert {

class AutomationServer {
public:
    // Binds and listens at once; throws std::runtime_error naming the path when it
    // cannot. A stale socket file at the path is replaced; a live one is not. The
    // socket is made accessible to its owner only.
    AutomationServer(WindowBackend& backend, std::string socket_path);
    // Stops serving, ends open connections and removes the socket file.
    ~AutomationServer();
    AutomationServer(const AutomationServer&) = delete;
    AutomationServer& operator=(const AutomationServer&) = delete;

    const std::string& path() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace corert
