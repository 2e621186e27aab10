// The host's core utility library zelcore, as the plug-in compiles against it: reference counting
// with weak handles, the recycling allocator of the toolkit's strings and callbacks, the host's
// errors, type names and UTF-16 strings. The host supplies the library; every operation here is
// imported, and only templates (IntrusivePtr, STLAllocator) are compiled into the caller.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <new>
#include <string>
#include <typeinfo>
#include <utility>

#if defined(_WIN32)
#if defined(ZELCORE_BUILD)
#define ZELCORE_API __declspec(dllexport)
#else
#define ZELCORE_API __declspec(dllimport)
#endif
#else
#define ZELCORE_API __attribute__((visibility("default")))
#endif

namespace zelcore {

namespace allocator {

// The toolkit's small-block allocator: freed blocks are kept by size and handed out again.
class ZELCORE_API MemoryRecycler {
public:
    // A block of at least size bytes (actual receives its real size); throws std::bad_alloc.
    static void* Allocate(std::size_t size, std::size_t& actual);
    // Gives back a block from Allocate; size is the size asked for.
    static void Recycle(void* block, std::size_t size);
};

// A standard allocator over MemoryRecycler.
template <class T>
class STLAllocator {
public:
    using value_type = T;

    STLAllocator() noexcept = default;
    template <class U>
    STLAllocator(const STLAllocator<U>&) noexcept {}

    T* allocate(std::size_t count) {
        if (count > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
        std::size_t actual = 0;
        return static_cast<T*>(MemoryRecycler::Allocate(count * sizeof(T), actual));
    }
    void deallocate(T* block, std::size_t count) noexcept { MemoryRecycler::Recycle(block, count * sizeof(T)); }

    template <class U>
    bool operator==(const STLAllocator<U>&) const noexcept {
        return true;
    }
};

}  // namespace allocator

// The toolkit's byte string (names, type names) and its UTF-16 string (resource names and types).
using ByteString = std::basic_string<unsigned char, std::char_traits<unsigned char>, allocator::STLAllocator<unsigned char>>;
using UTF16String = std::basic_string<wchar_t, std::char_traits<wchar_t>, allocator::STLAllocator<wchar_t>>;

namespace utility {

template <class T>
class IntrusivePtr;

// The reference count of every counted host object; always a virtual base.
class ZELCORE_API RefCountedInterface {
public:
    template <class T>
    using IntrusivePtr = utility::IntrusivePtr<T>;

    virtual void AddRefCount() = 0;
    virtual void ReleaseRefCount() = 0;
    virtual ~RefCountedInterface();

    RefCountedInterface(const RefCountedInterface&) = delete;
    RefCountedInterface& operator=(const RefCountedInterface&) = delete;

protected:
    RefCountedInterface();
    int32_t refCount_ = 0;
};

// A counted object that can also be reached through a 64-bit weak handle: Lock answers a counted
// pointer while the object lives and an empty one once it is gone. Handles are never reused.
class ZELCORE_API RefCountedObjectWithWeakPtr : public virtual RefCountedInterface {
public:
    using WeakHandle = uint64_t;

    // Destroys the object once its last reference is gone.
    virtual void DestructOnMainThread();

    void AddRefCount() override;
    void ReleaseRefCount() override;

    WeakHandle GetWeakHandle() const;
    int32_t GetRefCount() const;
    static IntrusivePtr<RefCountedInterface> Lock(WeakHandle handle);

protected:
    RefCountedObjectWithWeakPtr();
    ~RefCountedObjectWithWeakPtr() override;

private:
    WeakHandle weakHandle_;
};

// A counted pointer to a RefCountedInterface object.
template <class T>
class IntrusivePtr {
public:
    IntrusivePtr() noexcept = default;
    explicit IntrusivePtr(T* object) : object_(object) {
        if (object_ != nullptr) object_->AddRefCount();
    }
    IntrusivePtr(const IntrusivePtr& other) : IntrusivePtr(other.object_) {}
    IntrusivePtr(IntrusivePtr&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    template <class U>
    IntrusivePtr(const IntrusivePtr<U>& other) : IntrusivePtr(other.get()) {}
    ~IntrusivePtr() { reset(); }

    IntrusivePtr& operator=(IntrusivePtr other) noexcept {
        std::swap(object_, other.object_);
        return *this;
    }

    void reset() {
        if (T* object = std::exchange(object_, nullptr)) object->ReleaseRefCount();
    }
    T* get() const noexcept { return object_; }
    T* operator->() const noexcept { return object_; }
    T& operator*() const noexcept { return *object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    T* object_ = nullptr;
};

// Makes a counted object and holds it.
template <class T, class... Arguments>
IntrusivePtr<T> MakeCounted(Arguments&&... arguments) {
    return IntrusivePtr<T>(new T(std::forward<Arguments>(arguments)...));
}

}  // namespace utility

namespace config {

enum ErrorLevel : int32_t { errorLevelWarning = 0, errorLevelError = 1, errorLevelFatal = 2 };

// A value put into the placeholders ^1 to ^4 of an error message; default-constructed it is empty.
class ZELCORE_API ReplacementValue {
public:
    ReplacementValue();
    explicit ReplacementValue(const char* text);
    ~ReplacementValue();
    ReplacementValue(const ReplacementValue&) = delete;
    ReplacementValue& operator=(const ReplacementValue&) = delete;
    const char* Text() const;

private:
    char* text_ = nullptr;
};

// The host's error: the level, the message key ("$$$/path=Default text"), its shown text with the
// replacements made, and two numbers that locate its cause for the host's support staff.
class ZELCORE_API Error : public std::exception {
public:
    Error(ErrorLevel level, const char* key, const char* text, uint32_t code, int32_t detail, bool reportable);
    Error(const Error& other);
    Error& operator=(const Error&) = delete;
    ~Error() override;

    const char* what() const noexcept override;  // the shown text
    const char* Key() const noexcept;            // the key without its default text
    ErrorLevel Level() const noexcept;
    uint32_t Code() const noexcept;
    int32_t Detail() const noexcept;
    bool Reportable() const noexcept;

private:
    ErrorLevel level_;
    char* key_;
    char* text_;
    uint32_t code_;
    int32_t detail_;
    bool reportable_;
};

// The error raised for an empty pointer where an object was needed.
class ZELCORE_API NullPtrError : public Error {
public:
    explicit NullPtrError(const char* typeName);
    NullPtrError(const NullPtrError& other);
    ~NullPtrError() override;
};

// Raises the host's error for the message key; the message's default text is what follows the
// first '=' in key. Does not return.
[[noreturn]] ZELCORE_API void ThrowError(ErrorLevel level, const char* key, unsigned int code, int detail,
                                         bool reportable, const ReplacementValue& first, const ReplacementValue& second,
                                         const ReplacementValue& third, const ReplacementValue& fourth);

// Raises the host's null-pointer error naming the type. Does not return.
[[noreturn]] ZELCORE_API void DoThrowNullPtrException(const ByteString& typeName);

}  // namespace config

namespace debug {

// The readable name of a type, e.g. "zelui::ui::UI_Popup".
ZELCORE_API ByteString GetTypeName(const std::type_info& type);

}  // namespace debug

namespace string {

// Widens an ASCII text through the character at index last (the toolkit counts by last index, so
// "tamo" with 3 is the whole word), or up to its NUL if that comes first.
ZELCORE_API UTF16String AsciiToUTF16(const char* text, std::size_t last);

}  // namespace string

// An output stream that builds a UTF-16 string; narrow characters are widened through the
// stream's locale.
class ZELCORE_API oUTF16StringStream {
public:
    oUTF16StringStream();
    ~oUTF16StringStream();
    oUTF16StringStream(const oUTF16StringStream&) = delete;
    oUTF16StringStream& operator=(const oUTF16StringStream&) = delete;

    oUTF16StringStream& operator<<(const char* text);
    oUTF16StringStream& operator<<(char character);
    UTF16String str() const;

private:
    struct Buffer;
    Buffer* buffer_;
};

}  // namespace zelcore
