// CKWArray<T>: the growable array of every list of the module, with its
// iterators. The elements live in one block of constructed slots that grows by
// a fixed step (m_marge); traversals take their iterators from a pool of five
// owned by the array, so that up to five simultaneous iterators cost no
// allocation. Element types need a default constructor and assignment only.
// Header-only templates; nothing is locked: an array and its iterators are used
// by one task at a time.
#ifndef FOUNDATION_CKWARRAY_H
#define FOUNDATION_CKWARRAY_H

#include "platform/plat_log.h"
#include "platform/vxworks.h"

#include <climits>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <new>

// Where a new iterator starts: the first element (forward) or the last.
enum ITERATOR_DIRECTION { ITERATOR_FORWARD = 0, ITERATOR_BACKWARD };

// Number of iterators held by each array's pool.
#define NB_POOL_ITERATORS 5

template <class T> class CKWArray;

// Abstract iterator over a list of T.
template <class T> class CKWIterator {
public:
    CKWIterator() : m_state(0), m_idx(-1) {}

    // Assigns the current element to p_out. 1 when positioned on an element,
    // else 0 (p_out unchanged).
    virtual int GetCopy(T &p_out) const = 0;
    // Stores the address of the current element where p_out points. 1 when
    // positioned on an element and p_out is not null, else 0.
    virtual int GetPtr(T **p_out) = 0;
    // Moves one element forward; 1 when the new position holds an element.
    virtual int Next() = 0;
    // Moves one element backward; 1 when the new position holds an element.
    virtual int Previous() = 0;
    // 1 when positioned on an element.
    virtual int IsValid() const = 0;
    // Current index (-1 before positioning, or before the first element).
    virtual int GetIdx() const { return m_idx; }
    virtual ~CKWIterator() {}

protected:
    friend class CKWArray<T>;

    int m_state; // 0 heap iterator, 1 free pool iterator, 2 pool iterator in use
    int m_idx;   // current index
};

// Iterator over a CKWArray<T>: sees the storage and count of the moment it was
// positioned.
template <class T> class CKWIteratorArray : public CKWIterator<T> {
public:
    // Iterator over p_elems[0 .. p_nb - 1], on the first element when
    // p_from_start is true, else on the last.
    CKWIteratorArray(T *p_elems = nullptr, int p_nb = 0, bool p_from_start = true)
        : m_pElems(nullptr), m_nbElems(0) {
        CKWIteratorArray<T>::Set(p_elems, p_nb, p_from_start);
    }

    int GetCopy(T &p_out) const override {
        if (!IsValid()) {
            return 0;
        }
        p_out = m_pElems[this->m_idx];
        return 1;
    }

    int GetPtr(T **p_out) override {
        if (!IsValid() || p_out == nullptr) {
            return 0;
        }
        *p_out = &m_pElems[this->m_idx];
        return 1;
    }

    int Next() override { return NextElem(true); }

    int Previous() override { return NextElem(false); }

    int IsValid() const override {
        return (m_pElems != nullptr && this->m_idx >= 0 && this->m_idx < m_nbElems) ? 1 : 0;
    }

    int GetIdx() const override { return this->m_idx; }

    ~CKWIteratorArray() override {}

    // Positions the iterator over p_elems[0 .. p_nb - 1]: index 0 when
    // p_from_start is true, else p_nb - 1 (-1 for an empty list).
    virtual void Set(T *p_elems, int p_nb, bool p_from_start) {
        m_pElems = p_elems;
        m_nbElems = p_nb;
        this->m_idx = p_from_start ? 0 : p_nb - 1;
    }

    // Moves one element in the given direction; 1 when the new position holds
    // an element. Does not move when there is no storage.
    virtual int NextElem(bool p_forward) {
        if (m_pElems == nullptr) {
            return 0;
        }
        if (p_forward) {
            ++this->m_idx;
            return this->m_idx < m_nbElems ? 1 : 0;
        }
        --this->m_idx;
        return this->m_idx >= 0 ? 1 : 0;
    }

private:
    T *m_pElems;
    int m_nbElems;
};

// Growable array. Operations return 1 for success and 0 for failure; a failure
// changes nothing. Valid indexes are 0 to GetSize() - 1.
template <class T> class CKWArray {
public:
    // Array with p_initial_size constructed slots, growing by p_marge slots
    // (10 when p_marge is not positive). Every array of the module is built
    // with (10, 10).
    CKWArray(int p_initial_size = 10, int p_marge = 10)
        : m_pData(nullptr), m_nbElements(0), m_nbCases(0), m_marge(10), m_nbFreeIterators(0) {
        if (p_marge > 0) {
            m_marge = p_marge;
        }
        InitIterators();
        Increase(p_initial_size);
    }

    // Independent copy with the same step and capacity; the copy's iterator
    // pool starts free. (Copying the storage pointer would free it twice.)
    CKWArray(const CKWArray<T> &p_other)
        : m_pData(nullptr), m_nbElements(0), m_nbCases(0), m_marge(p_other.m_marge),
          m_nbFreeIterators(0) {
        InitIterators();
        if (Increase(p_other.m_nbCases)) {
            for (int l_i = 0; l_i < p_other.m_nbElements; ++l_i) {
                m_pData[l_i] = p_other.m_pData[l_i];
            }
            m_nbElements = p_other.m_nbElements;
        }
    }

    // Frees the storage. Iterators still held by callers are not touched.
    // This class's own Purge is meant: a derived class has already gone.
    virtual ~CKWArray() { Purge(); } // NOLINT(clang-analyzer-optin.cplusplus.VirtualCall)

    // Assigns element p_i to p_out. 0 for an invalid index.
    virtual int GetCopy(int p_i, T &p_out) const {
        if (m_pData == nullptr || !IsIndexValid(p_i)) {
            return 0;
        }
        p_out = m_pData[p_i];
        return 1;
    }

    // Stores the address of element p_i where p_out points; it stays valid
    // until the storage is reallocated or freed. 0 for an invalid index or a
    // null p_out.
    virtual int GetPtr(int p_i, T **p_out) {
        if (m_pData == nullptr || !IsIndexValid(p_i) || p_out == nullptr) {
            return 0;
        }
        *p_out = &m_pData[p_i];
        return 1;
    }

    // Copies element p_i to p_out, then removes it.
    virtual int Extract(int p_i, T &p_out) {
        if (GetCopy(p_i, p_out) != 1) {
            return 0;
        }
        return Remove(p_i);
    }

    // Replaces element p_i by p_e. 0 for an invalid index.
    virtual int Set(int p_i, const T &p_e) {
        if (m_pData == nullptr || !IsIndexValid(p_i)) {
            return 0;
        }
        m_pData[p_i] = p_e;
        return 1;
    }

    // Appends p_e (which may be an element of this array). Grows by m_marge
    // slots one element before the storage is full. 0 when growing failed.
    virtual int Add(const T &p_e) {
        if (IsOwnElement(p_e)) {
            // Growing frees the old storage: work on a copy of the element.
            T l_copy;
            l_copy = p_e;
            return AddOne(l_copy);
        }
        return AddOne(p_e);
    }

    // Appends every element of p_a (read with its GetSize and GetCopy). For p_a
    // being this array, the elements as they were are appended: the size
    // doubles. The storage grows to an exact fit. 0 when growing failed.
    virtual int Add(const CKWArray<T> &p_a) {
        int l_nb = p_a.GetSize();
        if (l_nb <= 0) {
            return 1;
        }
        if (l_nb > INT_MAX - m_nbElements || !Increase(m_nbElements + l_nb)) {
            return 0;
        }
        // l_nb was read before the loop, so appending this array to itself
        // reads only the elements that were already there.
        for (int l_k = 0; l_k < l_nb; ++l_k) {
            ++m_nbElements;
            p_a.GetCopy(l_k, m_pData[m_nbElements - 1]);
        }
        return 1;
    }

    // Inserts p_e before element p_i; p_i equal to the size appends. 0 for any
    // other index or when growing failed.
    virtual int Insert(int p_i, const T &p_e) {
        if (p_i == m_nbElements) {
            return Add(p_e);
        }
        if (!IsIndexValid(p_i)) {
            return 0;
        }
        if (IsOwnElement(p_e)) {
            // Shifting (and growing) changes what p_e refers to.
            T l_copy;
            l_copy = p_e;
            return InsertOne(p_i, l_copy);
        }
        return InsertOne(p_i, p_e);
    }

    // Inserts every element of p_a before element p_i; p_i equal to the size
    // appends. For p_a being this array, the elements as they were are
    // inserted. 0 for any other index or when growing failed.
    virtual int Insert(int p_i, const CKWArray<T> &p_a) {
        if (p_i == m_nbElements) {
            return Add(p_a);
        }
        if (!IsIndexValid(p_i)) {
            return 0;
        }
        int l_nb = p_a.GetSize();
        if (l_nb > INT_MAX - m_nbElements - m_marge) {
            return 0;
        }
        if (m_nbElements + l_nb >= m_nbCases && !Increase(m_nbElements + l_nb + m_marge)) {
            return 0;
        }
        if (m_pData == nullptr) {
            return 0;
        }
        for (int l_k = m_nbElements - 1; l_k >= p_i; --l_k) {
            m_pData[l_k + l_nb] = m_pData[l_k];
        }
        const bool l_self = (&p_a == this);
        for (int l_k = 0; l_k < l_nb; ++l_k) {
            if (l_self) {
                // The original elements from p_i on now sit l_nb places
                // further; neither range overlaps the slots being filled.
                m_pData[p_i + l_k] = m_pData[l_k < p_i ? l_k : l_k + l_nb];
            } else {
                m_pData[p_i + l_k] = p_a.m_pData[l_k];
            }
        }
        m_nbElements += l_nb;
        return 1;
    }

    // Makes p_e the only element.
    virtual int Copy(const T &p_e) {
        if (IsOwnElement(p_e)) {
            T l_copy;
            l_copy = p_e;
            RemoveAll();
            return Add(l_copy);
        }
        RemoveAll();
        return Add(p_e);
    }

    // Makes this array hold the elements of p_a; 1 at once for this array.
    virtual int Copy(const CKWArray<T> &p_a) {
        if (&p_a == this) {
            return 1;
        }
        RemoveAll();
        return Add(p_a);
    }

    // Removes element p_i, moving the later ones toward the front. 0 for an
    // invalid index.
    virtual int Remove(int p_i) {
        if (m_pData == nullptr || !IsIndexValid(p_i)) {
            return 0;
        }
        for (int l_k = p_i; l_k < m_nbElements - 1; ++l_k) {
            m_pData[l_k] = m_pData[l_k + 1];
        }
        --m_nbElements;
        return 1;
    }

    // Empties the array; the storage stays.
    virtual int RemoveAll() {
        m_nbElements = 0;
        return 1;
    }

    // Empties the array and frees its storage.
    virtual int Purge() {
        delete[] m_pData;
        m_pData = nullptr;
        m_nbElements = 0;
        m_nbCases = 0;
        return 1;
    }

    virtual int GetSize() const { return m_nbElements; }

    virtual int IsEmpty() const { return m_nbElements == 0 ? 1 : 0; }

    // Iterator on the first element (ITERATOR_FORWARD) or the last (any
    // other value), from the pool while one is free, else allocated. Give it
    // back with ReleaseIterator before changing the array. Null only when the
    // pool is exhausted and the allocation failed.
    virtual CKWIterator<T> *GetIterator(ITERATOR_DIRECTION p_dir) const {
        const bool l_forward = (p_dir == ITERATOR_FORWARD);
        if (m_nbFreeIterators >= 1) {
            for (int l_i = 0; l_i < NB_POOL_ITERATORS; ++l_i) {
                if (m_iterators[l_i].m_state == 1) {
                    m_iterators[l_i].m_state = 2;
                    m_iterators[l_i].Set(m_pData, m_nbElements, l_forward);
                    --m_nbFreeIterators;
                    return &m_iterators[l_i];
                }
            }
            // The count said free but none was: fall back to the heap.
        }
        CKWIteratorArray<T> *l_it =
            new (std::nothrow) CKWIteratorArray<T>(m_pData, m_nbElements, l_forward);
        if (l_it == nullptr) {
            plat::log("%ld - (CKWArray) GetIterator: allocation failed\n", tickGet());
        }
        return l_it;
    }

    // Gives back an iterator: a pool iterator becomes free again (once, however
    // often it is released), a heap iterator is freed. Null is ignored.
    virtual int ReleaseIterator(CKWIterator<T> *p_it) const {
        if (p_it == nullptr) {
            return 0;
        }
        if (p_it->m_state == 2) {
            // Only this array's own pool iterators are counted back.
            if (IsPoolIterator(p_it)) {
                p_it->m_state = 1;
                ++m_nbFreeIterators;
                return 1;
            }
            return 0;
        }
        if (p_it->m_state == 0) {
            delete p_it;
            return 1;
        }
        return 0;
    }

    // Prints four lines on the standard output: address, element count, free
    // and total slots with the step, free pool iterators. Any task.
    // The address is printed with %x as on the unit, whose addresses are 32
    // bits wide; on a 64-bit host only its low 32 bits are shown.
    virtual void Dump() const {
        printf("-- Dump CKWArray<N> 0x%x\n",
               static_cast<unsigned int>(reinterpret_cast<uintptr_t>(this)));
        printf("Nb elements %d\n", m_nbElements);
        printf("Nb cases disponibles %d/%d (marge %d)\n", m_nbCases - m_nbElements, m_nbCases,
               m_marge);
        printf("Nb iterateurs libres %d/%d\n", m_nbFreeIterators, NB_POOL_ITERATORS);
    }

    // Makes this array hold the elements of p_a. Copy() returns at once for
    // this array itself; the growth step and the iterator pool stay this
    // array's own.
    // NOLINTNEXTLINE(bugprone-unhandled-self-assignment,cert-oop54-cpp)
    CKWArray<T> &operator=(const CKWArray<T> &p_a) { // cppcheck-suppress operatorEqVarError
        Copy(p_a);
        return *this;
    }

    // Grows the storage to at least p_n slots (-1: size plus step); it never
    // shrinks. 1 when it holds p_n slots afterwards, 0 when the allocation
    // failed (the array unchanged).
    int Increase(int p_n) {
        if (p_n == -1) {
            if (m_marge > INT_MAX - m_nbElements) {
                return 0;
            }
            p_n = m_nbElements + m_marge;
        }
        if (p_n <= m_nbCases) {
            return 1;
        }
        T *l_new = new (std::nothrow) T[p_n];
        if (l_new == nullptr) {
            plat::log("%ld - (CKWArray) Increase: allocation of %d slots failed\n", tickGet(), p_n);
            return 0;
        }
        if (m_pData != nullptr) {
            for (int l_i = 0; l_i < m_nbElements; ++l_i) {
                l_new[l_i] = m_pData[l_i];
            }
            delete[] m_pData;
        }
        m_pData = l_new;
        m_nbCases = p_n;
        return 1;
    }

    // Marks the five pool iterators free.
    void InitIterators() {
        for (int l_i = 0; l_i < NB_POOL_ITERATORS; ++l_i) {
            m_iterators[l_i].m_state = 1;
        }
        m_nbFreeIterators = NB_POOL_ITERATORS;
    }

private:
    bool IsIndexValid(int p_i) const { return p_i >= 0 && p_i < m_nbElements; }

    // True when p_e is one of this array's slots.
    bool IsOwnElement(const T &p_e) const {
        if (m_pData == nullptr) {
            return false;
        }
        std::less_equal<const T *> l_le;
        std::less<const T *> l_lt;
        return l_le(m_pData, &p_e) && l_lt(&p_e, m_pData + m_nbCases);
    }

    bool IsPoolIterator(const CKWIterator<T> *p_it) const {
        for (int l_i = 0; l_i < NB_POOL_ITERATORS; ++l_i) {
            if (p_it == &m_iterators[l_i]) {
                return true;
            }
        }
        return false;
    }

    // Appends p_e, which is not one of this array's slots.
    int AddOne(const T &p_e) {
        if (m_nbElements + 1 >= m_nbCases && !Increase(-1)) {
            return 0;
        }
        if (m_pData == nullptr) {
            return 0;
        }
        m_pData[m_nbElements] = p_e;
        ++m_nbElements;
        return 1;
    }

    // Inserts p_e, which is not one of this array's slots, before the valid
    // index p_i.
    int InsertOne(int p_i, const T &p_e) {
        if (m_nbElements + 1 >= m_nbCases && !Increase(-1)) {
            return 0;
        }
        if (m_pData == nullptr) {
            return 0;
        }
        for (int l_k = m_nbElements - 1; l_k >= p_i; --l_k) {
            m_pData[l_k + 1] = m_pData[l_k];
        }
        m_pData[p_i] = p_e;
        ++m_nbElements;
        return 1;
    }

    T *m_pData;
    int m_nbElements;
    int m_nbCases;
    int m_marge;
    mutable CKWIteratorArray<T> m_iterators[NB_POOL_ITERATORS];
    mutable int m_nbFreeIterators;
};

#endif
