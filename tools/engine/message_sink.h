// Where a job's answers go: the connection that described it.
#pragma once

#include <string>

namespace engine {

class IMessageSink {
public:
    virtual ~IMessageSink() = default;
    // Queues one whole frame for sending; never fails here (a connection
    // that cannot take more marks itself broken and is closed later).
    virtual void Send(std::string frame) = 0;
};

}  // namespace engine
