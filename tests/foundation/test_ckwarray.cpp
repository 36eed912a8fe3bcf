// Tests of the growable array: growth points, index checks, self-copies,
// insertion order, the iterator pool and the status dump.
#include "foundation/CKWArray.h"
#include "foundation/CKWString.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

namespace {

template <class T> std::string DumpText(const CKWArray<T> &p_a) {
    testing::internal::CaptureStdout();
    p_a.Dump();
    return testing::internal::GetCapturedStdout();
}

// Free and total slots as printed by Dump.
template <class T> std::pair<int, int> Slots(const CKWArray<T> &p_a) {
    std::string l_text = DumpText(p_a);
    size_t l_pos = l_text.find("Nb cases disponibles ");
    int l_free = -1, l_total = -1;
    if (l_pos != std::string::npos) {
        sscanf(l_text.c_str() + l_pos, "Nb cases disponibles %d/%d", &l_free, &l_total);
    }
    return {l_free, l_total};
}

template <class T> int Capacity(const CKWArray<T> &p_a) {
    return Slots(p_a).second;
}

std::vector<int> Items(const CKWArray<int> &p_a) {
    std::vector<int> l_out;
    for (int l_i = 0; l_i < p_a.GetSize(); ++l_i) {
        int l_v = 0;
        p_a.GetCopy(l_i, l_v);
        l_out.push_back(l_v);
    }
    return l_out;
}

CKWArray<int> *MakeInts(int p_from, int p_count) {
    CKWArray<int> *l_a = new CKWArray<int>(10, 10);
    for (int l_i = 0; l_i < p_count; ++l_i) {
        l_a->Add(p_from + l_i);
    }
    return l_a;
}

TEST(CKWArray, DumpOfANewArray) {
    CKWArray<CKWString> l_a(10, 10);
    std::string l_text = DumpText(l_a);
    char l_head[64];
    snprintf(l_head, sizeof(l_head), "-- Dump CKWArray<N> 0x%x\n",
             static_cast<unsigned int>(reinterpret_cast<uintptr_t>(&l_a)));
    EXPECT_EQ(l_text, std::string(l_head) + "Nb elements 0\n"
                                            "Nb cases disponibles 10/10 (marge 10)\n"
                                            "Nb iterateurs libres 5/5\n");
    CKWArray<int> l_b(0, -3); // a non-positive step means 10
    EXPECT_NE(DumpText(l_b).find("Nb cases disponibles 0/0 (marge 10)\n"), std::string::npos);
    CKWArray<int> l_c(4, 3);
    EXPECT_NE(DumpText(l_c).find("(marge 3)\n"), std::string::npos);
}

TEST(CKWArray, GrowthPoints) {
    CKWArray<int> l_a(10, 10);
    for (int l_i = 0; l_i < 9; ++l_i) {
        ASSERT_EQ(l_a.Add(l_i), 1);
    }
    EXPECT_EQ(Capacity(l_a), 10);
    ASSERT_EQ(l_a.Add(9), 1); // the tenth grows to 9 + 10
    EXPECT_EQ(Capacity(l_a), 19);
    EXPECT_EQ(Slots(l_a).first, 9);
    EXPECT_EQ(Items(l_a), std::vector<int>({0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));

    CKWArray<int> l_empty(0, 10);
    EXPECT_EQ(Capacity(l_empty), 0);
    EXPECT_EQ(l_empty.GetSize(), 0);
    int l_v = 5;
    EXPECT_EQ(l_empty.GetCopy(0, l_v), 0);
    ASSERT_EQ(l_empty.Add(1), 1);
    EXPECT_EQ(Capacity(l_empty), 10);

    // Insert of one element and Copy of one element grow like Add.
    CKWArray<int> l_ins(10, 10);
    for (int l_i = 0; l_i < 9; ++l_i) {
        ASSERT_EQ(l_ins.Add(l_i), 1);
    }
    ASSERT_EQ(l_ins.Insert(0, -1), 1);
    EXPECT_EQ(Capacity(l_ins), 19);
    EXPECT_EQ(l_ins.GetSize(), 10);
    CKWArray<int> l_one(0, 4);
    ASSERT_EQ(l_one.Copy(7), 1);
    EXPECT_EQ(Capacity(l_one), 4);
    EXPECT_EQ(Items(l_one), std::vector<int>({7}));

    // Add of an array: exact fit.
    CKWArray<int> *l_src = MakeInts(100, 7);
    CKWArray<int> l_b(10, 10);
    l_b.Add(1);
    ASSERT_EQ(l_b.Add(*l_src), 1);
    EXPECT_EQ(Capacity(l_b), 10);
    ASSERT_EQ(l_b.Add(*l_src), 1);
    EXPECT_EQ(Capacity(l_b), 15);
    EXPECT_EQ(l_b.GetSize(), 15);
    // Insert of an array: size + nb + step when it would fill the storage.
    ASSERT_EQ(l_b.Insert(0, *l_src), 1);
    EXPECT_EQ(Capacity(l_b), 15 + 7 + 10);
    EXPECT_EQ(l_b.GetSize(), 22);
    delete l_src;
}

TEST(CKWArray, IndexChecks) {
    CKWArray<int> *l_a = MakeInts(0, 3);
    int l_v = -1;
    int *l_p = nullptr;
    EXPECT_EQ(l_a->Set(3, 9), 0);
    EXPECT_EQ(l_a->Set(-1, 9), 0);
    EXPECT_EQ(l_a->Set(2, 9), 1);
    EXPECT_EQ(l_a->GetCopy(3, l_v), 0);
    EXPECT_EQ(l_v, -1);
    EXPECT_EQ(l_a->GetPtr(0, nullptr), 0);
    EXPECT_EQ(l_a->GetPtr(3, &l_p), 0);
    ASSERT_EQ(l_a->GetPtr(1, &l_p), 1);
    *l_p = 11;
    EXPECT_EQ(l_a->Insert(5, 1), 0);
    EXPECT_EQ(l_a->Insert(4, *l_a), 0);
    EXPECT_EQ(l_a->Insert(-1, 1), 0);
    EXPECT_EQ(l_a->Remove(3), 0);
    EXPECT_EQ(l_a->Extract(7, l_v), 0);
    EXPECT_EQ(Items(*l_a), std::vector<int>({0, 11, 9}));

    ASSERT_EQ(l_a->Insert(3, 4), 1); // at the size: appends
    EXPECT_EQ(Items(*l_a), std::vector<int>({0, 11, 9, 4}));
    ASSERT_EQ(l_a->Remove(3), 1); // the last: only the count changes
    EXPECT_EQ(Items(*l_a), std::vector<int>({0, 11, 9}));
    ASSERT_EQ(l_a->Extract(0, l_v), 1);
    EXPECT_EQ(l_v, 0);
    EXPECT_EQ(Items(*l_a), std::vector<int>({11, 9}));
    ASSERT_EQ(l_a->Insert(1, 5), 1);
    EXPECT_EQ(Items(*l_a), std::vector<int>({11, 5, 9}));
    EXPECT_EQ(l_a->IsEmpty(), 0);
    l_a->RemoveAll();
    EXPECT_EQ(l_a->IsEmpty(), 1);
    EXPECT_EQ(Capacity(*l_a), 10);
    l_a->Purge();
    EXPECT_EQ(Capacity(*l_a), 0);
    EXPECT_EQ(l_a->Set(0, 1), 0);
    EXPECT_EQ(l_a->Remove(0), 0);
    ASSERT_EQ(l_a->Add(3), 1); // usable again after Purge
    EXPECT_EQ(Items(*l_a), std::vector<int>({3}));
    delete l_a;
}

TEST(CKWArray, SelfCopyAddInsert) {
    CKWArray<int> *l_a = MakeInts(1, 3);
    EXPECT_EQ(l_a->Copy(*l_a), 1);
    EXPECT_EQ(Items(*l_a), std::vector<int>({1, 2, 3}));
    *l_a = *l_a;
    EXPECT_EQ(Items(*l_a), std::vector<int>({1, 2, 3}));
    ASSERT_EQ(l_a->Add(*l_a), 1);
    EXPECT_EQ(Items(*l_a), std::vector<int>({1, 2, 3, 1, 2, 3}));
    ASSERT_EQ(l_a->Insert(2, *l_a), 1);
    EXPECT_EQ(Items(*l_a), std::vector<int>({1, 2, 1, 2, 3, 1, 2, 3, 3, 1, 2, 3}));
    // Self-add doubling through several reallocations.
    CKWArray<CKWString> l_s(1, 1);
    l_s.Add(CKWString("x"));
    for (int l_i = 0; l_i < 6; ++l_i) {
        ASSERT_EQ(l_s.Add(l_s), 1);
    }
    EXPECT_EQ(l_s.GetSize(), 64);
    // An element of the array itself, added while the storage grows.
    CKWArray<CKWString> l_t(2, 1);
    l_t.Add(CKWString("first"));
    CKWString *l_p = nullptr;
    ASSERT_EQ(l_t.GetPtr(0, &l_p), 1);
    ASSERT_EQ(l_t.Add(*l_p), 1);
    ASSERT_EQ(l_t.GetPtr(1, &l_p), 1);
    ASSERT_EQ(l_t.Insert(0, *l_p), 1);
    ASSERT_EQ(l_t.GetPtr(2, &l_p), 1);
    ASSERT_EQ(l_t.Copy(*l_p), 1);
    EXPECT_EQ(l_t.GetSize(), 1);
    ASSERT_EQ(l_t.GetPtr(0, &l_p), 1);
    EXPECT_STREQ(l_p->GetBuffer(), "first");
    delete l_a;
}

TEST(CKWArray, InsertArrayKeepsOrderAndCopiesAreIndependent) {
    CKWArray<int> *l_a = MakeInts(0, 4);  // 0 1 2 3
    CKWArray<int> *l_b = MakeInts(10, 3); // 10 11 12
    ASSERT_EQ(l_a->Insert(1, *l_b), 1);
    EXPECT_EQ(Items(*l_a), std::vector<int>({0, 10, 11, 12, 1, 2, 3}));
    ASSERT_EQ(l_a->Insert(7, *l_b), 1); // at the size: appends
    EXPECT_EQ(Items(*l_a), std::vector<int>({0, 10, 11, 12, 1, 2, 3, 10, 11, 12}));
    CKWArray<int> l_empty(0, 10);
    ASSERT_EQ(l_a->Insert(0, l_empty), 1);
    EXPECT_EQ(l_a->GetSize(), 10);

    ASSERT_EQ(l_b->Copy(*l_a), 1);
    l_a->Set(0, 99);
    EXPECT_EQ(Items(*l_b), std::vector<int>({0, 10, 11, 12, 1, 2, 3, 10, 11, 12}));
    CKWArray<int> l_c(*l_b);
    l_b->Set(0, 77);
    EXPECT_EQ(Items(l_c), std::vector<int>({0, 10, 11, 12, 1, 2, 3, 10, 11, 12}));
    ASSERT_EQ(l_c.Copy(5), 1);
    EXPECT_EQ(Items(l_c), std::vector<int>({5}));
    delete l_a;
    delete l_b;
}

TEST(CKWArray, IteratorPoolExhaustionAndReturn) {
    CKWArray<int> *l_a = MakeInts(0, 3);
    CKWIterator<int> *l_its[6];
    for (int l_i = 0; l_i < 6; ++l_i) {
        l_its[l_i] = l_a->GetIterator(ITERATOR_FORWARD);
        ASSERT_NE(l_its[l_i], nullptr);
    }
    EXPECT_NE(DumpText(*l_a).find("Nb iterateurs libres 0/5\n"), std::string::npos);
    // All six work independently, the heap one included.
    for (int l_i = 0; l_i < 6; ++l_i) {
        int l_sum = 0;
        for (; l_its[l_i]->IsValid(); l_its[l_i]->Next()) {
            int l_v = 0;
            EXPECT_EQ(l_its[l_i]->GetCopy(l_v), 1);
            l_sum += l_v;
        }
        EXPECT_EQ(l_sum, 3);
    }
    for (int l_i = 0; l_i < 6; ++l_i) {
        l_a->ReleaseIterator(l_its[l_i]);
    }
    EXPECT_NE(DumpText(*l_a).find("Nb iterateurs libres 5/5\n"), std::string::npos);
    // Releasing a pool iterator twice, or null, counts nothing more.
    CKWIterator<int> *l_it = l_a->GetIterator(ITERATOR_FORWARD);
    l_a->ReleaseIterator(l_it);
    l_a->ReleaseIterator(l_it);
    l_a->ReleaseIterator(nullptr);
    EXPECT_NE(DumpText(*l_a).find("Nb iterateurs libres 5/5\n"), std::string::npos);
    // Another array's pool iterator is not counted into this pool.
    CKWArray<int> l_other(10, 10);
    l_it = l_other.GetIterator(ITERATOR_FORWARD);
    l_a->ReleaseIterator(l_it);
    EXPECT_NE(DumpText(*l_a).find("Nb iterateurs libres 5/5\n"), std::string::npos);
    EXPECT_NE(DumpText(l_other).find("Nb iterateurs libres 4/5\n"), std::string::npos);
    l_other.ReleaseIterator(l_it);
    delete l_a;
}

TEST(CKWArray, IteratorTraversalAndEmptyArray) {
    CKWArray<int> l_empty(10, 10);
    CKWIterator<int> *l_back = l_empty.GetIterator(ITERATOR_BACKWARD);
    CKWIterator<int> *l_fwd = l_empty.GetIterator(ITERATOR_FORWARD);
    EXPECT_EQ(l_back->GetIdx(), -1);
    EXPECT_EQ(l_back->IsValid(), 0);
    EXPECT_EQ(l_fwd->GetIdx(), 0);
    EXPECT_EQ(l_fwd->IsValid(), 0);
    int l_v = 42;
    int *l_p = nullptr;
    EXPECT_EQ(l_fwd->GetCopy(l_v), 0);
    EXPECT_EQ(l_fwd->GetPtr(&l_p), 0);
    EXPECT_EQ(l_fwd->Next(), 0);
    l_empty.ReleaseIterator(l_back);
    l_empty.ReleaseIterator(l_fwd);
    // Over no storage at all, moving does nothing.
    CKWArray<int> l_none(0, 10);
    l_fwd = l_none.GetIterator(ITERATOR_FORWARD);
    EXPECT_EQ(l_fwd->Next(), 0);
    EXPECT_EQ(l_fwd->GetIdx(), 0);
    l_none.ReleaseIterator(l_fwd);

    CKWArray<int> *l_a = MakeInts(1, 4);
    std::vector<int> l_seen;
    CKWIterator<int> *l_it = l_a->GetIterator(ITERATOR_BACKWARD);
    EXPECT_EQ(l_it->GetIdx(), 3);
    do {
        ASSERT_EQ(l_it->GetPtr(&l_p), 1);
        *l_p *= 10; // in place, through the pointer
        l_seen.push_back(*l_p);
    } while (l_it->Previous());
    EXPECT_EQ(l_it->GetIdx(), -1);
    EXPECT_EQ(l_it->GetPtr(nullptr), 0);
    l_a->ReleaseIterator(l_it);
    EXPECT_EQ(l_seen, std::vector<int>({40, 30, 20, 10}));
    EXPECT_EQ(Items(*l_a), std::vector<int>({10, 20, 30, 40}));
    delete l_a;
}

// A record of several strings and a number, as the module's lists hold.
struct t_record {
    CKWString m_key;
    CKWString m_path;
    CKWString m_version;
    unsigned long long m_size = 0;
};

TEST(CKWArray, RecordsWithStringFields) {
    CKWArray<t_record> l_list(10, 10);
    for (int l_i = 0; l_i < 25; ++l_i) {
        t_record l_r;
        l_r.m_key = (CKWString("KEY") + static_cast<char>('A' + l_i)).GetBuffer();
        l_r.m_path = CKWString("MAPPE/") + l_r.m_key;
        l_r.m_version.Add("1.", -1).Add(static_cast<char>('0' + l_i % 10));
        l_r.m_size = 1000ULL * l_i;
        ASSERT_EQ(l_list.Insert(l_i / 2, l_r), 1);
    }
    EXPECT_EQ(l_list.GetSize(), 25);
    CKWArray<t_record> l_copy(10, 10);
    l_copy = l_list;
    l_list.Purge();
    t_record l_out;
    ASSERT_EQ(l_copy.GetCopy(12, l_out), 1);
    EXPECT_STREQ(l_out.m_key.GetBuffer(), "KEYY");
    EXPECT_STREQ(l_out.m_path.GetBuffer(), "MAPPE/KEYY");
    EXPECT_STREQ(l_out.m_version.GetBuffer(), "1.4");
    EXPECT_EQ(l_out.m_size, 24000ULL);
    ASSERT_EQ(l_copy.Extract(0, l_out), 1);
    EXPECT_STREQ(l_out.m_key.GetBuffer(), "KEYB");
    EXPECT_EQ(l_copy.GetSize(), 24);
}

// An element whose storage allocation can be made to fail.
struct t_failing {
    static bool s_fail;
    int m_v = 0;
    static void *operator new[](size_t p_size, const std::nothrow_t &) noexcept {
        return s_fail ? nullptr : malloc(p_size);
    }
    static void operator delete[](void *p_ptr) noexcept { free(p_ptr); }
};
bool t_failing::s_fail = false;

TEST(CKWArray, FailedGrowthChangesNothing) {
    t_failing::s_fail = true;
    CKWArray<t_failing> l_none(10, 10);
    EXPECT_EQ(Capacity(l_none), 0);
    t_failing l_e;
    EXPECT_EQ(l_none.Add(l_e), 0);
    EXPECT_EQ(l_none.GetSize(), 0);

    t_failing::s_fail = false;
    CKWArray<t_failing> l_a(10, 10);
    for (int l_i = 0; l_i < 9; ++l_i) {
        l_e.m_v = l_i;
        ASSERT_EQ(l_a.Add(l_e), 1);
    }
    CKWArray<t_failing> l_more(10, 10);
    l_more.Add(l_e);
    l_more.Add(l_e);
    t_failing::s_fail = true;
    EXPECT_EQ(l_a.Add(l_e), 0);
    EXPECT_EQ(l_a.Insert(0, l_e), 0);
    EXPECT_EQ(l_a.Add(l_more), 0);
    EXPECT_EQ(l_a.Insert(1, l_more), 0);
    EXPECT_EQ(l_a.GetSize(), 9);
    EXPECT_EQ(Capacity(l_a), 10);
    for (int l_i = 0; l_i < 9; ++l_i) {
        ASSERT_EQ(l_a.GetCopy(l_i, l_e), 1);
        EXPECT_EQ(l_e.m_v, l_i);
    }
    t_failing::s_fail = false;
    EXPECT_EQ(l_a.Add(l_e), 1);
    EXPECT_EQ(Capacity(l_a), 19);
}

} // namespace
