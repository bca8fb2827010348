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

// Do `a` and `b` agree in their first k bits? Both must hold at least k / 8
// bytes before their NUL.
bool leading_bits_equal(const char* a, const char* b, int64_t k)
{
    size_t whole = static_cast<size_t>(k >> 3);
    if (memcmp(a, b, whole) != 0) {
        return false;
    }
    int rest = static_cast<int>(k & 7);
    if (rest == 0) {
        return true;
    }
    unsigned mask = (1u << rest) - 1u;
    return ((static_cast<unsigned char>(a[whole]) ^ static_cast<unsigned char>(b[whole])) & mask) == 0;
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

void pattern_trie_match(const pattern_node* root, const char* name, match_sink* sink)
{
    const int64_t n = 8 * static_cast<int64_t>(strlen(name));
    const pattern_node* node = root->left;
    while (node != nullptr) {
        const int64_t b = node->bits;
        if (b == n) {
            if (leading_bits_equal(name, node->key, n)) {
                sink->emit(node->exact);
                sink->emit(node->prefix);
            }
            return;
        }
        if (b > n) {
            return;  // every pattern below is longer than the name
        }
        if (node->prefix != nullptr) {
            if (!leading_bits_equal(name, node->key, b)) {
                return;  // nothing below shares the name's leading bits either
            }
            sink->emit(node->prefix);
        }
        int want = key_bit(name, b);
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

// Names looked up per packet are short; only longer ones need the heap.
constexpr size_t short_name = 512;

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
    size_t len = strlen(name);
    char small[short_name];
    char* copy = len < sizeof small ? small : static_cast<char*>(xalloc(len + 1, 0));
    lower_copy(copy, name, len);

    match_sink sink{out, capacity, 0};
    pattern_trie_match(index->forward, copy, &sink);
    reverse_in_place(copy, len);
    pattern_trie_match(index->reverse, copy, &sink);

    if (copy != small) {
        xfree(copy);
    }
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
