// Two bitwise tries: `forward` holds exact and trailing-'*' patterns keyed by
// their fixed text, `reverse` holds leading-'*' patterns keyed by their fixed
// text reversed. A match walks each trie once along the bits of the name, so
// its cost depends on the name's length, not on the number of patterns.
//
// Bit i of a text is bit (i % 8), counting from the least significant, of
// byte i / 8. Only the bits of a text and of its terminating NUL are read.
#include "collector/alerts/pattern_index.h"

#include <cstring>
#include <vector>

#include "toolkit/alloc.h"
#include "toolkit/text.h"

namespace {

enum class slot { exact, prefix };

struct pattern_node {
    char* key;        // owned by key nodes; split nodes borrow their left child's
    bool owns_key;
    void* exact;      // value of the exact pattern equal to the first `bits` bits
    void* prefix;     // value of the '*' pattern whose fixed part is those bits
    pattern_node* left;   // same bit at index `bits` as this node's key
    pattern_node* right;  // the other bit
    int64_t bits;     // leading key bits this node stands for
};

int key_bit(const char* key, int64_t i)
{
    return (static_cast<unsigned char>(key[i >> 3]) >> (i & 7)) & 1;
}

pattern_node* pattern_node_new(char* key)
{
    auto* node = static_cast<pattern_node*>(xalloc(sizeof(pattern_node), 1));
    node->key = key;
    node->owns_key = true;
    node->bits = 8 * static_cast<int64_t>(strlen(key));
    return node;
}

pattern_node* pattern_node_new_empty()
{
    auto* key = static_cast<char*>(xalloc(1, 1));
    return pattern_node_new(key);
}

pattern_node* key_node_with(char* key, slot s, void* value)
{
    pattern_node* node = pattern_node_new(key);
    (s == slot::exact ? node->exact : node->prefix) = value;
    return node;
}

void pattern_trie_insert(pattern_node* root, const char* key_text, void* value, slot s)
{
    char* key = xstrdup(key_text);
    if (root->left == nullptr) {
        root->left = key_node_with(key, s, value);
        return;
    }
    pattern_node** link = &root->left;  // where p hangs in its parent
    pattern_node* p = root->left;
    const int64_t n = 8 * static_cast<int64_t>(strlen(key));
    for (int64_t i = 0;; ++i) {
        bool differ = key_bit(key, i) != key_bit(p->key, i);
        if (differ && i != n && i != p->bits) {
            // The keys part inside p's run of shared bits: a split node takes p's place.
            auto* split = static_cast<pattern_node*>(xalloc(sizeof(pattern_node), 1));
            split->key = p->key;
            split->owns_key = false;
            split->bits = i;
            split->left = p;
            split->right = key_node_with(key, s, value);
            *link = split;
            return;
        }
        if (differ && i != n) {  // i is p's branching bit: go right
            if (p->right == nullptr) {
                p->right = key_node_with(key, s, value);
                return;
            }
            link = &p->right;
            p = p->right;
            continue;
        }
        if (i == n) {  // the whole key agrees with p so far
            if (p->bits == n) {
                (s == slot::exact ? p->exact : p->prefix) = value;
                xfree(key);
                return;
            }
            pattern_node* m = key_node_with(key, s, value);
            (key_bit(p->key, n) == 0 ? m->left : m->right) = p;
            *link = m;
            return;
        }
        if (i == p->bits) {  // same bit at p's branching bit: go left
            if (p->left == nullptr) {
                p->left = key_node_with(key, s, value);
                return;
            }
            link = &p->left;
            p = p->left;
        }
    }
}

// Collects matched values into the caller's array, counting past its end.
struct match_sink {
    void** out;
    int32_t capacity;
    int64_t count;

    void emit(void* value)
    {
        if (value == nullptr) {
            return;
        }
        if (count < capacity) {
            out[count] = value;
        }
        ++count;
    }
};

// A name as a trie walk reads it, letter case folded byte by byte as it is
// read, forward or from its end: neither a folded nor a reversed copy is
// made. Byte `len` reads as the NUL, the one byte past the name ever read.
struct forward_name {
    const unsigned char* text;
    size_t len;
    unsigned char at(size_t j) const { return j < len ? ascii_lower(text[j]) : 0; }
};
struct reversed_name {
    const unsigned char* text;
    size_t len;
    unsigned char at(size_t j) const { return j < len ? ascii_lower(text[len - 1 - j]) : 0; }
};

template <typename Name>
int name_bit(const Name& name, int64_t i)
{
    return (name.at(static_cast<size_t>(i >> 3)) >> (i & 7)) & 1;
}

// Does the name agree with `key` in the first k bits? The key holds at
// least k / 8 bytes before its NUL.
template <typename Name>
bool name_leading_bits_equal(const Name& name, const char* key, int64_t k)
{
    size_t whole = static_cast<size_t>(k >> 3);
    for (size_t j = 0; j < whole; ++j) {
        if (name.at(j) != static_cast<unsigned char>(key[j])) {
            return false;
        }
    }
    int rest = static_cast<int>(k & 7);
    if (rest == 0) {
        return true;
    }
    unsigned mask = (1u << rest) - 1u;
    return ((name.at(whole) ^ static_cast<unsigned char>(key[whole])) & mask) == 0;
}

template <typename Name>
void pattern_trie_match(const pattern_node* root, const Name& name, match_sink* sink)
{
    const int64_t n = 8 * static_cast<int64_t>(name.len);
    const pattern_node* node = root->left;
    while (node != nullptr) {
        const int64_t b = node->bits;
        if (b == n) {
            if (name_leading_bits_equal(name, node->key, n)) {
                sink->emit(node->exact);
                sink->emit(node->prefix);
            }
            return;
        }
        if (b > n) {
            return;  // every pattern below is longer than the name
        }
        if (node->prefix != nullptr) {
            if (!name_leading_bits_equal(name, node->key, b)) {
                return;  // nothing below shares the name's leading bits either
            }
            sink->emit(node->prefix);
        }
        int want = name_bit(name, b);
        if (node->left != nullptr) {
            if (key_bit(node->left->key, b) == want) {
                node = node->left;
            } else {
                node = node->right;
            }
        } else if (node->right != nullptr && key_bit(node->right->key, b) == want) {
            node = node->right;
        } else {
            return;
        }
    }
}

void pattern_trie_free(pattern_node* root)
{
    // Iterative: a trie of long patterns can be deeper than a stack should go.
    std::vector<pattern_node*> pending{root};
    while (!pending.empty()) {
        pattern_node* node = pending.back();
        pending.pop_back();
        if (node->left != nullptr) {
            pending.push_back(node->left);
        }
        if (node->right != nullptr) {
            pending.push_back(node->right);
        }
        if (node->owns_key) {
            xfree(node->key);
        }
        xfree(node);
    }
}

void lower_copy(char* to, const char* from, size_t len)
{
    for (size_t i = 0; i < len; ++i) {
        to[i] = static_cast<char>(ascii_lower(static_cast<unsigned char>(from[i])));
    }
    to[len] = '\0';
}

void reverse_in_place(char* text, size_t len)
{
    for (size_t i = 0, j = len; i + 1 < j; ++i, --j) {
        char c = text[i];
        text[i] = text[j - 1];
        text[j - 1] = c;
    }
}

}  // namespace

struct pattern_index {
    pattern_node* forward;
    pattern_node* reverse;
};

pattern_index* pattern_index_new()
{
    auto* index = static_cast<pattern_index*>(xalloc(sizeof(pattern_index), 1));
    index->forward = pattern_node_new_empty();
    index->reverse = pattern_node_new_empty();
    return index;
}

void pattern_index_add(pattern_index* index, const char* pattern, void* value)
{
    size_t len = strlen(pattern);
    char* key = static_cast<char*>(xalloc(len + 1, 0));
    lower_copy(key, pattern, len);
    if (len > 0 && key[0] == '*') {
        reverse_in_place(key + 1, len - 1);
        pattern_trie_insert(index->reverse, key + 1, value, slot::prefix);
    } else if (len > 0 && key[len - 1] == '*') {
        key[len - 1] = '\0';
        pattern_trie_insert(index->forward, key, value, slot::prefix);
    } else {
        pattern_trie_insert(index->forward, key, value, slot::exact);
    }
    xfree(key);
}

int32_t pattern_index_match(const pattern_index* index, const char* name, void** out, int32_t capacity)
{
    return pattern_index_match_n(index, name, strlen(name), out, capacity);
}

int32_t pattern_index_match_n(const pattern_index* index, const char* name, size_t len, void** out,
                              int32_t capacity)
{
    // An index without patterns (no watch rule of its kind) is the common
    // case on a capture thread: nothing to walk.
    if (index->forward->left == nullptr && index->reverse->left == nullptr) {
        return 0;
    }
    const auto* text = reinterpret_cast<const unsigned char*>(name);
    match_sink sink{out, capacity, 0};
    pattern_trie_match(index->forward, forward_name{text, len}, &sink);
    pattern_trie_match(index->reverse, reversed_name{text, len}, &sink);
    return sink.count > INT32_MAX ? INT32_MAX : static_cast<int32_t>(sink.count);
}

void pattern_index_free(pattern_index* index)
{
    if (index == nullptr) {
        return;
    }
    pattern_trie_free(index->forward);
    pattern_trie_free(index->reverse);
    xfree(index);
}
