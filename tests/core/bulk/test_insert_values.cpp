#include <gtest/gtest.h>

#include "bulk/insert_values.hpp"

using zorvane::core::match_insert_values;

TEST(MatchInsertValues, ReadsTableColumnsAndBinds) {
    auto m = match_insert_values("  insert INTO app.users (name, age)\n values (:n, :age_1);  ");
    ASSERT_TRUE(m);
    EXPECT_EQ(m->schema, "app");
    EXPECT_EQ(m->table, "users");
    EXPECT_EQ(m->columns, (std::vector<std::string>{"name", "age"}));
    EXPECT_EQ(m->binds, (std::vector<std::string>{"n", "age_1"}));
}

TEST(MatchInsertValues, RejectsWhatTheToolkitCannotRebuild) {
    for (const char *sql : {
             "insert into users (name) values (:name || 'x')",     // expression
             "insert into users (name) values ('x')",              // literal
             "insert into users (name) values (:name::text)",      // cast
             "insert into users (name, age) values (:name)",       // count mismatch
             "insert into users (name) values (:a), (:b)",         // several rows
             "insert into users (name) values (:a) returning id",  // trailing clause
             "insert into \"users\" (name) values (:a)",           // quoted name
             "insert into users values (:a)",                      // no column list
             "update users set name = :a",
             "",
         })
        EXPECT_FALSE(match_insert_values(sql)) << sql;
}
