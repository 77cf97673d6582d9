#pragma once
// A product's channels in a tree: the default one, whose lists and release index are the product
// folder's own, and each other under channels/NAME/, with lists and an index of its own beside
// the one store of content (whole files, patches, chunks) that every channel's lists name.
#include <filesystem>
#include <string>
#include <vector>

// The folder of a channel's lists and release index within the product folder.
std::filesystem::path ChannelListsOf(const std::filesystem::path& product, const std::wstring& channel);

// The channels a product folder holds: the default one first, then each one that has a release
// index, in the order of their names.
std::vector<std::wstring> ChannelsOf(const std::filesystem::path& product);

// Whether a channel's name reads, false with a message for the command line otherwise.
bool CheckChannelName(const std::wstring& channel, std::string& error);
