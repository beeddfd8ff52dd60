// orv-echo-worker: the bundled default worker. It answers every request with
//   {"action":"...","client":"...","body":"..."}
// where the body is embedded as a JSON string (not parsed), so the reply is
// valid JSON whatever the client sent.
#include "orv_worker.hpp"

int main(int argc, char** argv) {
    return orv_worker::serve(argc, argv, [](orv_worker::Request const& request) {
        return "{\"action\":" + orv_worker::json_string(request.action) +
               ",\"client\":" + orv_worker::json_string(request.client) +
               ",\"body\":" + orv_worker::json_string(request.body) + "}";
    });
}
