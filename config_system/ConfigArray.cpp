// Configuration array: a singly linked list of (module, data) pairs, nodes and
// texts on the C heap.
#include "config_system/ConfigArray.h"

#include "config_system/config_log.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// A heap copy of `p_text`, or null when memory runs out.
char *CopyConfigText(const char *p_text) {
    size_t l_size = std::strlen(p_text) + 1;
    char *l_copy = static_cast<char *>(std::malloc(l_size));
    if (l_copy != nullptr)
        std::memcpy(l_copy, p_text, l_size);
    return l_copy;
}

// The first node whose key equals `p_module`, or null.
ConfigElement *FindConfigElement(ConfigElement *p_head, const char *p_module) {
    for (ConfigElement *l_node = p_head; l_node != nullptr; l_node = l_node->next)
        if (std::strcmp(l_node->module, p_module) == 0)
            return l_node;
    return nullptr;
}

// The last node of the list starting at `p_node`, or null for an empty list.
const ConfigElement *LastConfigElement(const ConfigElement *p_node) {
    while (p_node != nullptr && p_node->next != nullptr)
        p_node = p_node->next;
    return p_node;
}

// True when destroying the array `p_dest` would free or change a node of the
// array `p_src`: both are one head pointer, or their lists share a node (two
// singly linked lists that meet share their last node), or `p_dest` is the
// link field of one of the source's nodes (the destination is its tail).
bool ConfigArraysShareANode(ConfigElement *const *p_dest, ConfigElement *const *p_src) {
    if (p_dest == p_src)
        return true;
    const ConfigElement *l_src_last = LastConfigElement(*p_src);
    if (l_src_last != nullptr && l_src_last == LastConfigElement(*p_dest))
        return true;
    for (const ConfigElement *l_node = *p_src; l_node != nullptr; l_node = l_node->next)
        if (&l_node->next == p_dest)
            return true;
    for (const ConfigElement *l_node = *p_dest; l_node != nullptr; l_node = l_node->next)
        if (&l_node->next == p_src)
            return true;
    return false;
}

} // namespace

void ConfigArrayInit(ConfigElement **head) {
    if (head != nullptr)
        *head = nullptr;
}

int ConfigArrayDestroy(ConfigElement **head) {
    if (head == nullptr) {
        ConfigSystemLog("ERROR - ConfigSystemDestroy : null param\n");
        return -1;
    }
    ConfigElement *l_node = *head;
    while (l_node != nullptr) {
        ConfigElement *l_next = l_node->next;
        std::free(l_node->module);
        std::free(l_node->data);
        std::free(l_node);
        l_node = l_next;
    }
    *head = nullptr;
    return 0;
}

int ConfigArrayAdd(ConfigElement **head, const char *module, const char *data) {
    ConfigElement *l_node = nullptr;
    if (head != nullptr && module != nullptr && data != nullptr)
        l_node = static_cast<ConfigElement *>(std::malloc(sizeof(ConfigElement)));
    if (l_node == nullptr) {
        ConfigSystemLog("ERROR - ConfigSystemAdd : null param\n");
        return -1;
    }
    l_node->module = CopyConfigText(module);
    l_node->data = CopyConfigText(data);
    if (l_node->module == nullptr || l_node->data == nullptr) {
        ConfigSystemLog("ERROR - ConfigSystemAdd : allocation failed\n");
        std::free(l_node->module);
        std::free(l_node->data);
        std::free(l_node);
        return -1;
    }
    l_node->next = *head;
    *head = l_node;
    return 0;
}

int ConfigArrayRemove(ConfigElement **head, const char *module) {
    if (head == nullptr || module == nullptr) {
        ConfigSystemLog("ERROR - ConfigSystemRemove : null param\n");
        return -1;
    }
    ConfigElement *l_previous = nullptr;
    for (ConfigElement *l_node = *head; l_node != nullptr; l_node = l_node->next) {
        if (std::strcmp(l_node->module, module) == 0) {
            if (l_previous == nullptr)
                *head = l_node->next;
            else
                l_previous->next = l_node->next;
            std::free(l_node->module);
            std::free(l_node->data);
            std::free(l_node);
            return 0;
        }
        l_previous = l_node;
    }
    ConfigSystemLog("ERROR - ConfigSystemRemove : [%s] not found\n", module);
    return -1;
}

int ConfigArraySearch(ConfigElement *const *head, const char *module, char *data) {
    if (head == nullptr || module == nullptr || data == nullptr) {
        ConfigSystemLog("ERROR - ConfigSystemSearch : null param\n");
        return -1;
    }
    ConfigElement *l_node = FindConfigElement(*head, module);
    if (l_node == nullptr) {
        ConfigSystemLog("ERROR - ConfigSystemSearch : [%s] not found\n", module);
        return -1;
    }
    // The caller's buffer holds the whole text (see the contract): the
    // configuration system stores data texts of at most 20 characters.
    std::strcpy(data, l_node->data); // NOLINT(clang-analyzer-security.insecureAPI.strcpy)
    ConfigSystemLog("ConfigSystemSearch : MODULE:[%s] - DATA:[%s]\n", module, data);
    return 0;
}

int ConfigArrayGet(ConfigElement *const *head, const char *module, const char **data) {
    if (head == nullptr || module == nullptr || data == nullptr) {
        ConfigSystemLog("ERROR - ConfigArrayGet : null param\n");
        return -1;
    }
    ConfigElement *l_node = FindConfigElement(*head, module);
    if (l_node == nullptr) {
        ConfigSystemLog("ERROR - ConfigArrayGet : [%s] not found\n", module);
        return -1;
    }
    *data = l_node->data;
    ConfigSystemLog("ConfigArrayGet : MODULE:[%s] - DATA:[%s]\n", module, l_node->data);
    return 0;
}

int ConfigArrayCopy(ConfigElement **dest, ConfigElement *const *src) {
    if (dest == nullptr || src == nullptr) {
        ConfigSystemLog("ERROR - ConfigSystemCopy : null param\n");
        return -1;
    }
    // Destroying the destination first would free the source before it is
    // read: a destination that shares a node with the source is refused.
    if (ConfigArraysShareANode(dest, src)) {
        ConfigSystemLog("ERROR - ConfigSystemCopy : destination shares the source\n");
        return -1;
    }
    ConfigElement *l_node = *src;
    ConfigArrayDestroy(dest);
    ConfigArrayInit(dest);
    int l_result = -1;
    for (; l_node != nullptr; l_node = l_node->next) {
        l_result = ConfigArrayAdd(dest, l_node->module, l_node->data);
        if (l_result == -1)
            break;
    }
    return l_result;
}

int ConfigArrayDisplay(ConfigElement *const *head) {
    if (head == nullptr) {
        ConfigSystemLog("ERROR - ConfigSystemDisplay : null param\n");
        return -1;
    }
    for (ConfigElement *l_node = *head; l_node != nullptr; l_node = l_node->next)
        std::printf("\n   module:[%s] \t data:[%s]", l_node->module, l_node->data);
    return 0;
}
