// The asset metadata record and its dictionary form.
#pragma once

#include <Python.h>

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "module/module.hpp"
#include "json/json.hpp"

namespace sorva::declare {

// One partition dimension; its kind is always "inline". The keys are the
// array at the root of `values`, which never changes once made, so copies of
// a spec share it.
struct PartitionSpec {
    std::shared_ptr<const json::Document> values;
};

// The two maps keep the user's dict order; nothing gives that order meaning.
struct AssetMetadata {
    std::optional<std::string> name;
    std::optional<std::string> serializer;
    std::optional<std::vector<std::pair<std::string, std::string>>> inputs;
    std::optional<std::vector<std::pair<std::string, PartitionSpec>>> partitions;
};

// A fresh dict: kind, name, serializer, inputs, partitions, in that order.
Ref metadata_dict(const AssetMetadata& metadata);

// "[v1,v2,...]" in the compact form.
std::string values_json(const PartitionSpec& spec);

}  // namespace sorva::declare
