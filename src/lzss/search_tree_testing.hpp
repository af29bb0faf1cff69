// What exists only to check the search tree: a walk of the whole tree that tells whether
// its prefix-group entries hold what their invariant says. Included by the native checks
// and the fuzz target; the module never includes it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "lzss/search_tree.hpp"

namespace native_accel::lzss::testing {

template <class Unit>
struct SearchTreeProbe {
    using Tree = SearchTree<Unit>;

    // Whether the buckets hold what the invariant says. Every count is the number of nodes
    // in the tree whose prefix falls in the bucket, and a known top node is in the tree,
    // falls in its bucket and is the top node of its group: the first of the group's nodes
    // that a walk of the tree meets when it visits each node before the nodes below it.
    // Trivially true once entries are off.
    static bool entries_consistent(const Tree& tree) {
        if (!tree.entries_live_) return true;
        std::vector<std::uint16_t> counts(tree.buckets_.size());
        std::unordered_map<std::uint64_t, std::uint16_t> tops;
        std::vector<std::uint16_t> pending{tree.links_[kTreeRoot][Tree::kRight]};
        while (!pending.empty()) {
            const std::uint16_t node = pending.back();
            pending.pop_back();
            if (node == kNoNode) continue;
            ++counts[Tree::bucket(tree.prefix_of(node))];
            tops.try_emplace(tree.prefix_of(node), node);
            pending.push_back(tree.links_[node][Tree::kRight]);
            pending.push_back(tree.links_[node][Tree::kLeft]);
        }
        for (std::size_t b = 0; b < tree.buckets_.size(); ++b) {
            if (tree.buckets_[b].count != counts[b]) return false;
            const std::uint16_t top = tree.buckets_[b].top;
            if (top == kNoNode) continue;
            if (top >= kWindowSlots || Tree::bucket(tree.prefix_of(top)) != b) return false;
            const auto found = tops.find(tree.prefix_of(top));
            if (found == tops.end() || found->second != top) return false;
        }
        return true;
    }
};

}  // namespace native_accel::lzss::testing
