// What the delay-based rate control is doing: raising the rate, holding it while the queue
// drains, or cutting it because the queue fills.
#pragma once

namespace talmiro_media {

enum class RateControlState { increase, hold, decrease };

}  // namespace talmiro_media
