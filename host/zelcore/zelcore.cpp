// The host's core utility library: reference counting with weak handles, the recycling allocator,
// the host's errors, type names and UTF-16 strings.
#include <cxxabi.h>

#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <unordered_map>
#include <vector>

#include "host/zelcore/live_objects.h"

namespace zelcore {
namespace {

// Process-wide state. The toolkit runs on the host's UI thread alone, so there are no locks.
struct CoreState {
    std::unordered_map<uint64_t, utility::RefCountedObjectWithWeakPtr*> weakTable;
    uint64_t nextHandle = 1;
    int64_t liveCounted = 0;
    int64_t liveBlocks = 0;
    int64_t liveErrors = 0;
    // Freed blocks by size class (multiples of kGranule up to kLargestRecycled).
    std::vector<void*> freeBlocks[33];
};

CoreState& State() {
    static CoreState* state = new CoreState;  // never destroyed: objects may outlive static destruction
    return *state;
}

constexpr std::size_t kGranule = 16;
constexpr std::size_t kLargestRecycled = 32 * kGranule;

char* CopyText(const char* text) {
    const std::size_t length = std::strlen(text);
    char* copy = static_cast<char*>(std::malloc(length + 1));
    if (copy == nullptr) throw std::bad_alloc();
    std::memcpy(copy, text, length + 1);
    return copy;
}

}  // namespace

namespace allocator {

void* MemoryRecycler::Allocate(std::size_t size, std::size_t& actual) {
    CoreState& state = State();
    void* block;
    if (size <= kLargestRecycled) {
        const std::size_t sizeClass = (size + kGranule - 1) / kGranule;
        actual = sizeClass * kGranule;
        std::vector<void*>& free = state.freeBlocks[sizeClass];
        if (!free.empty()) {
            block = free.back();
            free.pop_back();
        } else {
            block = ::operator new(actual == 0 ? kGranule : actual);
        }
    } else {
        actual = size;
        block = ::operator new(size);
    }
    ++state.liveBlocks;
    return block;
}

void MemoryRecycler::Recycle(void* block, std::size_t size) {
    if (block == nullptr) return;
    CoreState& state = State();
    --state.liveBlocks;
    if (size <= kLargestRecycled) {
        const std::size_t sizeClass = (size + kGranule - 1) / kGranule;
        std::vector<void*>& free = state.freeBlocks[sizeClass];
        if (free.size() < 64) {
            free.push_back(block);
            return;
        }
    }
    ::operator delete(block);
}

}  // namespace allocator

namespace utility {

RefCountedInterface::RefCountedInterface() = default;
RefCountedInterface::~RefCountedInterface() = default;

RefCountedObjectWithWeakPtr::RefCountedObjectWithWeakPtr() {
    CoreState& state = State();
    weakHandle_ = state.nextHandle++;
    state.weakTable.emplace(weakHandle_, this);
    ++state.liveCounted;
}

RefCountedObjectWithWeakPtr::~RefCountedObjectWithWeakPtr() {
    CoreState& state = State();
    state.weakTable.erase(weakHandle_);
    --state.liveCounted;
}

void RefCountedObjectWithWeakPtr::DestructOnMainThread() { delete this; }

void RefCountedObjectWithWeakPtr::AddRefCount() { ++refCount_; }

void RefCountedObjectWithWeakPtr::ReleaseRefCount() {
    if (refCount_ <= 0) {
        std::fprintf(stderr, "zelcore: ReleaseRefCount on an object without references\n");
        std::abort();
    }
    if (--refCount_ > 0) return;
    // From here on the weak handle resolves to nothing, even while the destructors run.
    State().weakTable.erase(weakHandle_);
    DestructOnMainThread();
}

RefCountedObjectWithWeakPtr::WeakHandle RefCountedObjectWithWeakPtr::GetWeakHandle() const { return weakHandle_; }

int32_t RefCountedObjectWithWeakPtr::GetRefCount() const { return refCount_; }

IntrusivePtr<RefCountedInterface> RefCountedObjectWithWeakPtr::Lock(WeakHandle handle) {
    CoreState& state = State();
    const auto found = state.weakTable.find(handle);
    if (found == state.weakTable.end() || found->second->refCount_ <= 0) return {};
    return IntrusivePtr<RefCountedInterface>(found->second);
}

}  // namespace utility

namespace config {

ReplacementValue::ReplacementValue() = default;
ReplacementValue::ReplacementValue(const char* text) : text_(CopyText(text)) {}
ReplacementValue::~ReplacementValue() { std::free(text_); }
const char* ReplacementValue::Text() const { return text_ != nullptr ? text_ : ""; }

Error::Error(ErrorLevel level, const char* key, const char* text, uint32_t code, int32_t detail, bool reportable)
    : level_(level), key_(CopyText(key)), text_(CopyText(text)), code_(code), detail_(detail), reportable_(reportable) {
    ++State().liveErrors;
}

Error::Error(const Error& other)
    : std::exception(other),
      level_(other.level_),
      key_(CopyText(other.key_)),
      text_(CopyText(other.text_)),
      code_(other.code_),
      detail_(other.detail_),
      reportable_(other.reportable_) {
    ++State().liveErrors;
}

Error::~Error() {
    std::free(key_);
    std::free(text_);
    --State().liveErrors;
}

const char* Error::what() const noexcept { return text_; }
const char* Error::Key() const noexcept { return key_; }
ErrorLevel Error::Level() const noexcept { return level_; }
uint32_t Error::Code() const noexcept { return code_; }
int32_t Error::Detail() const noexcept { return detail_; }
bool Error::Reportable() const noexcept { return reportable_; }

namespace {
constexpr const char* kNullPointerKey = "$$$/zelcore/config/Error/NullPointer";
std::string NullPointerText(const char* typeName) { return std::string("Null pointer of type ") + typeName + "."; }
}  // namespace

NullPtrError::NullPtrError(const char* typeName)
    : Error(errorLevelError, kNullPointerKey, NullPointerText(typeName).c_str(), 0, 0, true) {}
NullPtrError::NullPtrError(const NullPtrError& other) = default;
NullPtrError::~NullPtrError() = default;

void ThrowError(ErrorLevel level, const char* key, unsigned int code, int detail, bool reportable,
                const ReplacementValue& first, const ReplacementValue& second, const ReplacementValue& third,
                const ReplacementValue& fourth) {
    const std::string whole = key != nullptr ? key : "";
    const std::size_t equals = whole.find('=');
    const std::string path = whole.substr(0, equals);
    const std::string pattern = equals == std::string::npos ? whole : whole.substr(equals + 1);
    const ReplacementValue* values[4] = {&first, &second, &third, &fourth};
    std::string text;
    for (std::size_t at = 0; at < pattern.size(); ++at) {
        if (pattern[at] == '^' && at + 1 < pattern.size() && pattern[at + 1] >= '1' && pattern[at + 1] <= '4') {
            text += values[pattern[at + 1] - '1']->Text();
            ++at;
        } else {
            text += pattern[at];
        }
    }
    throw Error(level, path.c_str(), text.c_str(), code, detail, reportable);
}

void DoThrowNullPtrException(const ByteString& typeName) {
    const std::string name(typeName.begin(), typeName.end());
    throw NullPtrError(name.c_str());
}

}  // namespace config

namespace debug {

ByteString GetTypeName(const std::type_info& type) {
    int status = 0;
    char* readable = abi::__cxa_demangle(type.name(), nullptr, nullptr, &status);
    const char* name = status == 0 && readable != nullptr ? readable : type.name();
    ByteString result(reinterpret_cast<const unsigned char*>(name),
                      reinterpret_cast<const unsigned char*>(name) + std::strlen(name));
    std::free(readable);
    return result;
}

}  // namespace debug

namespace string {

UTF16String AsciiToUTF16(const char* text, std::size_t last) {
    UTF16String wide;
    if (text == nullptr) return wide;
    for (std::size_t i = 0; i <= last && text[i] != '\0'; ++i) wide.push_back(static_cast<wchar_t>(text[i] & 0x7F));
    return wide;
}

}  // namespace string

struct oUTF16StringStream::Buffer {
    std::wostringstream stream;
};

oUTF16StringStream::oUTF16StringStream() : buffer_(new Buffer) {}
oUTF16StringStream::~oUTF16StringStream() { delete buffer_; }

oUTF16StringStream& oUTF16StringStream::operator<<(const char* text) {
    // A wide stream widens each narrow character through its locale.
    buffer_->stream << text;
    return *this;
}

oUTF16StringStream& oUTF16StringStream::operator<<(char character) {
    buffer_->stream << character;
    return *this;
}

UTF16String oUTF16StringStream::str() const {
    const std::wstring text = buffer_->stream.str();
    return UTF16String(text.begin(), text.end());
}

namespace diagnostics {

LiveObjects CountLiveObjects() {
    const CoreState& state = State();
    LiveObjects live;
    live.counted = state.liveCounted;
    live.weakHandles = static_cast<int64_t>(state.weakTable.size());
    live.recycledBlocks = state.liveBlocks;
    live.errors = state.liveErrors;
    return live;
}

}  // namespace diagnostics

}  // namespace zelcore
