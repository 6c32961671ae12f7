#pragma once

#include <cstddef>
#include <span>

// Where the bytes of a fetch go. Called on the thread that runs the fetch,
// block by block in the file's order.
class IByteSink {
public:
    virtual ~IByteSink() = default;
    // False stops the transfer: the fetch ends as failed.
    virtual bool Write(std::span<const std::byte> bytes) = 0;
};
