// The renderers behind render.h's entry points.
#pragma once

#include <functional>
#include <string>

#include "render/render.h"

namespace render {

// Reads up to `size` bytes: the count, 0 at the end, -1 on an error (errno set).
using ReadFn = std::function<long(std::uint8_t* out, std::size_t size)>;

Result RenderText(const ReadFn& read, const Options& options, const Sink& sink, const std::string& name);

// A PDF from a file, or from bytes when `path` is empty.
Result RenderPdf(const std::string& path, const std::uint8_t* data, std::size_t size, const Options& options,
                 const Sink& sink, const std::string& name);

}  // namespace render
