#include "host/scene_api.h"

#include <utility>

namespace {
std::function<INode*(uint32_t)> g_resolver;
}

INode* GetINodeByHandle(uint32_t handle) {
  return g_resolver ? g_resolver(handle) : nullptr;
}

std::function<INode*(uint32_t)> SetNodeHandleResolver(std::function<INode*(uint32_t)> resolver) {
  return std::exchange(g_resolver, std::move(resolver));
}
