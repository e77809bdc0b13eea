// What the delay signal says of the path: the queue is steady (normal), filling (over-using)
// or draining (under-using).
#pragma once

namespace talmiro_media {

enum class BandwidthUsage { normal, underusing, overusing };

}  // namespace talmiro_media
