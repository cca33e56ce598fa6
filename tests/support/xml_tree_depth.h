// How deep TinyXML went in a parse: it links every element it began, also
// when it stops at an error, so the tree it leaves shows the deepest point it
// reached. Walked without recursion, whatever the depth.
#pragma once

#include <utility>
#include <vector>

#include "tinyxml.h"

inline int TreeDepth(const TiXmlNode* root) {
  int deepest = 0;
  std::vector<std::pair<const TiXmlNode*, int>> pending{{root, 0}};
  while (!pending.empty()) {
    const auto [node, depth] = pending.back();
    pending.pop_back();
    if (depth > deepest) deepest = depth;
    for (const TiXmlElement* child = node->FirstChildElement(); child != nullptr;
         child = child->NextSiblingElement()) {
      pending.emplace_back(child, depth + 1);
    }
  }
  return deepest;
}
