// Name lists: arrays of string buffers that the library owns.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "kest.h"

namespace {

TEST(NameListTest, AllocatedBuffersHoldNamesUntilReleased)
{
    char** list = nullptr;
    const char* names[] = {"age", "sex", "a_rather_longer_variable_name"};
    for (int i = 0; i < 3; ++i) {
        char* buffer = alloc_names(&list, 3, i, 50);
        ASSERT_NE(buffer, nullptr) << i;
        ASSERT_NE(list, nullptr);
        EXPECT_EQ(list[i], buffer);
        std::memset(buffer, 'z', 50);  // the whole size is usable
        std::strcpy(buffer, names[i]);
    }
    char destination[64];
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(get_names(list, i, destination), 0);
        EXPECT_EQ(std::string(destination), std::string(names[i]) + "</name>");
    }
    free_list(list, 3);
}

TEST(NameListTest, ListNamesCopiesTheText)
{
    char** list = nullptr;
    std::string name = "abc";
    list_names(&list, 2, 0, name.c_str());
    list_names(&list, 2, 1, "");
    name = "xyz";
    ASSERT_NE(list, nullptr);
    char destination[16];
    EXPECT_EQ(get_names(list, 0, destination), 0);
    EXPECT_STREQ(destination, "abc</name>");
    EXPECT_EQ(get_names(list, 1, destination), 0);
    EXPECT_STREQ(destination, "</name>");
    // A later call for an index refills that entry.
    list_names(&list, 2, 1, "second");
    EXPECT_STREQ(list[1], "second");
    free_list(list, 2);
}

TEST(NameListTest, CallsOutsideTheListDoNothing)
{
    char** list = nullptr;
    EXPECT_EQ(alloc_names(&list, 0, 0, 10), nullptr);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(alloc_names(&list, 2, 0, 0), nullptr);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(alloc_names(&list, 2, -1, 10), nullptr);
    EXPECT_EQ(list, nullptr);
    list_names(&list, 0, 0, "x");
    EXPECT_EQ(list, nullptr);

    ASSERT_NE(alloc_names(&list, 2, 0, 10), nullptr);
    char** const made = list;
    EXPECT_EQ(alloc_names(&list, 2, 2, 10), nullptr);
    // A larger count than the list was made with does not reach past it.
    EXPECT_EQ(alloc_names(&list, 5, 3, 10), nullptr);
    list_names(&list, 5, 4, "x");
    EXPECT_EQ(list, made);
    EXPECT_EQ(list[1], nullptr);  // entries not yet filled are empty
    std::strcpy(list[0], "kept");
    char destination[16];
    EXPECT_EQ(get_names(list, 0, destination), 0);
    EXPECT_STREQ(destination, "kept</name>");
    free_list(list, 2);
    free_list(nullptr, 3);
}

}  // namespace

namespace {

TEST(NameListTest, NullPointersDoNothing)
{
    list_names(nullptr, 2, 0, "x");
    EXPECT_EQ(alloc_names(nullptr, 2, 0, 10), nullptr);
    char destination[16] = "untouched";
    EXPECT_EQ(get_names(nullptr, 0, destination), 0);
    EXPECT_STREQ(destination, "untouched");

    char** list = nullptr;
    list_names(&list, 2, 0, "a");
    ASSERT_NE(list, nullptr);
    list_names(&list, 2, 1, nullptr);  // nothing is copied
    EXPECT_STREQ(list[0], "a");
    EXPECT_EQ(list[1], nullptr);
    EXPECT_EQ(get_names(list, 0, nullptr), 0);
    EXPECT_EQ(get_names(list, 1, destination), 0);
    EXPECT_STREQ(destination, "</name>");
    free_list(list, 2);
    // Index 0 still creates the array.
    list = nullptr;
    list_names(&list, 2, 0, nullptr);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list[0], nullptr);
    free_list(list, 2);
}

}  // namespace
