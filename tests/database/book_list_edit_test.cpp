// Book-list edits keep what the device wrote: other entries' dates, data and reals survive
// an add and a remove byte for byte in meaning.
#include "utility/module/media/book_list_edit.h"

#include <gtest/gtest.h>
#include <plist/plist.h>

#include <cstdlib>
#include <string>

namespace {

// A binary list with one book that carries value types a generic tree could drop.
std::string DeviceList() {
  plist_t root = plist_new_dict();
  plist_t books = plist_new_array();
  plist_t book = plist_new_dict();
  plist_dict_set_item(book, "Path", plist_new_string("ABCD.epub"));
  plist_dict_set_item(book, "Name", plist_new_string("Old Book"));
  plist_dict_set_item(book, "Import-Date", plist_new_date(123456789, 0));
  plist_dict_set_item(book, "Package Hash", plist_new_data("\x01\x02\x00\x03", 4));
  plist_dict_set_item(book, "Rating", plist_new_real(4.5));
  plist_array_append_item(books, book);
  plist_dict_set_item(root, "Books", books);
  plist_dict_set_item(root, "Version", plist_new_uint(7));
  char* bin = nullptr;
  uint32_t length = 0;
  plist_to_bin(root, &bin, &length);
  std::string bytes(bin, length);
  plist_to_bin_free(bin);
  plist_free(root);
  return bytes;
}

plist_t Parse(const std::string& text) {
  plist_t root = nullptr;
  plist_from_memory(text.data(), static_cast<uint32_t>(text.size()), &root);
  return root;
}

std::string Text(plist_t node) {
  char* value = nullptr;
  plist_get_string_val(node, &value);
  std::string text = value ? value : "";
  std::free(value);
  return text;
}

}  // namespace

TEST(BookListEdit, AddAndRemoveKeepOtherEntriesWhole) {
  const std::string original = DeviceList();
  const std::optional<std::string> added =
      AddBookToList(original, {"WXYZ.pdf", "New Book", "pdf", "0123456789ABCDEF"});
  ASSERT_TRUE(added);
  plist_t root = Parse(*added);
  ASSERT_NE(root, nullptr);
  plist_t books = plist_dict_get_item(root, "Books");
  ASSERT_EQ(plist_array_get_size(books), 2u);
  plist_t old_book = plist_array_get_item(books, 0);
  int32_t sec = 0, usec = 0;
  plist_get_date_val(plist_dict_get_item(old_book, "Import-Date"), &sec, &usec);
  EXPECT_EQ(sec, 123456789);
  char* data = nullptr;
  uint64_t data_length = 0;
  plist_get_data_val(plist_dict_get_item(old_book, "Package Hash"), &data, &data_length);
  EXPECT_EQ(std::string(data, data_length), std::string("\x01\x02\x00\x03", 4));
  std::free(data);
  double rating = 0;
  plist_get_real_val(plist_dict_get_item(old_book, "Rating"), &rating);
  EXPECT_EQ(rating, 4.5);
  uint64_t version = 0;
  plist_get_uint_val(plist_dict_get_item(root, "Version"), &version);
  EXPECT_EQ(version, 7u);
  plist_t new_book = plist_array_get_item(books, 1);
  EXPECT_EQ(Text(plist_dict_get_item(new_book, "Path")), "WXYZ.pdf");
  EXPECT_EQ(Text(plist_dict_get_item(new_book, "Persistent ID")), "0123456789ABCDEF");
  plist_free(root);

  const std::optional<std::string> removed = RemoveBookFromList(*added, "WXYZ.pdf");
  ASSERT_TRUE(removed);
  root = Parse(*removed);
  books = plist_dict_get_item(root, "Books");
  ASSERT_EQ(plist_array_get_size(books), 1u);
  EXPECT_EQ(Text(plist_dict_get_item(plist_array_get_item(books, 0), "Path")), "ABCD.epub");
  EXPECT_NE(plist_dict_get_item(plist_array_get_item(books, 0), "Package Hash"), nullptr);
  plist_free(root);
}

TEST(BookListEdit, UnreadableListsAndUnknownBooksAreRefused) {
  EXPECT_FALSE(AddBookToList("not a property list", {"A.epub", "A", "epub", "1"}));
  EXPECT_FALSE(RemoveBookFromList(DeviceList(), "MISSING.epub"));
  EXPECT_FALSE(RemoveBookFromList("", "ABCD.epub"));
  // A device without a list gets a new one holding only the added book.
  const std::optional<std::string> fresh = AddBookToList("", {"A.epub", "A", "epub", "1"});
  ASSERT_TRUE(fresh);
  plist_t root = Parse(*fresh);
  EXPECT_EQ(plist_array_get_size(plist_dict_get_item(root, "Books")), 1u);
  plist_free(root);
}
