#include "nodeData.h"

#include <cstdlib>

void* NodeData::operator new(std::size_t size) {
    void* p = std::calloc(1, size ? size : 1);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}

void* NodeData::operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return std::calloc(1, size ? size : 1);
}

void NodeData::operator delete(void* p) noexcept { std::free(p); }

void NodeData::operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
