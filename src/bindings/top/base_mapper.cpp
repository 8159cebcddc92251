// src/bindings/top/base_mapper.cpp: BaseMapper, the generic base of mapper classes, and its operations.
#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "glue/backend.hpp"
#include "glue/observe.hpp"
#include "glue/page.hpp"
#include "top/async_bridge.hpp"
#include "top/binding.hpp"
#include "top/callable.hpp"
#include "top/mapper.hpp"
#include "top/parts.hpp"
#include "top/scopes.hpp"

namespace zorvane::top {
namespace {

glue::Lazy sa_select{"sqlalchemy", "select"};
glue::Lazy sa_insert{"sqlalchemy", "insert"};
glue::Lazy sa_update{"sqlalchemy", "update"};
glue::Lazy sa_delete{"sqlalchemy", "delete"};
glue::Lazy sa_text{"sqlalchemy", "text"};
glue::Lazy sa_func{"sqlalchemy", "func"};
glue::Lazy pydantic_model{"pydantic", "BaseModel"};
glue::Lazy declarative_base{"sqlalchemy.orm", "DeclarativeBase"};
glue::Lazy sa_inspect{"sqlalchemy", "inspect"};
glue::Lazy get_origin{"typing", "get_origin"};
glue::Lazy get_args{"typing", "get_args"};
glue::Lazy inspect_parameter{"inspect", "Parameter"};

PyObject *g_default_page = nullptr;  // Page(1, 10), shared by every call that omits `page`

// Interned names of the attributes and methods used on every call.
PyObject *n_type_cache, *n_datasource, *n_orig_bases, *n_table, *n_columns, *n_name,
    *n_model_dump, *n_values, *n_where, *n_limit, *n_offset, *n_id, *n_add, *n_add_all,
    *n_insert_orm2, *n_delete_orm2, *n_update_orm2, *n_bulk_update_mappings, *n_select_all_orm1, *n_select_all_orm2,
    *n_select_one_orm1, *n_select_one_orm2, *n_select_list, *n_select_page, *n_column_descriptions,
    *n_selected_columns, *n_type, *n_subquery, *n_select_from, *n_count, *n_list,
    *n_total, *n_insert_list, *n_key, *n_autoincrement_column, *n_default, *n_server_default, *n_should_evaluate_none,
    *n_instance_state, *n_dict, *n_begin_tx, *n_execution_options, *n_db_type;

using glue::call_method;
using glue::intern;


nb::object get_attr(nb::handle obj, PyObject *name) { return check(PyObject_GetAttr(obj.ptr(), name)); }

nb::object get_item(nb::handle obj, nb::handle key) {
    if (PyDict_CheckExact(obj.ptr())) {
        PyObject *v = PyDict_GetItemWithError(obj.ptr(), key.ptr());
        if (v)
            return nb::borrow(v);
        if (!PyErr_Occurred())
            PyErr_SetObject(PyExc_KeyError, key.ptr());
        throw nb::python_error();
    }
    return check(PyObject_GetItem(obj.ptr(), key.ptr()));
}

bool is_instance(nb::handle obj, nb::handle cls) {
    int r = PyObject_IsInstance(obj.ptr(), cls.ptr());
    if (r < 0)
        throw nb::python_error();
    return r == 1;
}

nb::handle type_of(nb::handle obj) { return nb::handle(reinterpret_cast<PyObject *>(Py_TYPE(obj.ptr()))); }

// --- model introspection ------------------------------------------------------------------

PyObject *g_models = nullptr;  // model class -> ModelInfo fields, see model_info

enum ModelInfo : Py_ssize_t { kAutoPk = 0, kColumnKeys, kTableInsert, kColumns };

// The attribute that maps `col` on the model's mapper (None when unmapped): its key.
nb::object attribute_key(nb::handle mapper, nb::handle col) {
    if (mapper.is_none())
        return nb::none();
    PyObject *prop = PyObject_CallMethod(mapper.ptr(), "get_property_by_column", "O", col.ptr());
    if (!prop) {
        PyErr_Clear();  // a column the mapper does not map
        return nb::none();
    }
    return get_attr(nb::steal(prop), n_key);
}

// Whether an insert that leaves `col` out stores something else than an explicit None would:
// a Python-side or server default, or a type that writes None as a value of its own (JSON).
bool has_default(nb::handle col) {
    return !get_attr(col, n_default).is_none() || !get_attr(col, n_server_default).is_none() ||
           glue::truthy(get_attr(get_attr(col, n_type), n_should_evaluate_none));
}

// What every write of a model needs, read once per model: the name of its integer
// auto-increment primary-key column (or None), the keys of its table's columns, the Core
// insert of its table and, per column, (name, attribute key, has a default).
nb::handle model_info(nb::handle model_class) {
    PyObject *hit = PyDict_GetItemWithError(g_models, model_class.ptr());
    if (hit)
        return hit;
    if (PyErr_Occurred())
        throw nb::python_error();
    nb::object table = get_attr(model_class, n_table);
    nb::object auto_col = get_attr(table, n_autoincrement_column);
    nb::object pk = auto_col.is_none() ? nb::none() : get_attr(auto_col, n_name);
    nb::object mapper = sa_inspect(model_class, "raiseerr"_a = false);
    nb::object keys = check(PySet_New(nullptr));
    nb::list columns;
    for (nb::handle col : get_attr(table, n_columns)) {
        nb::object name = get_attr(col, n_name), attr = attribute_key(mapper, col);
        columns.append(nb::make_tuple(name, attr.is_none() ? name : attr, nb::bool_(has_default(col))));
        if (PySet_Add(keys.ptr(), get_attr(col, n_key).ptr()) < 0)
            throw nb::python_error();
    }
    nb::object info = nb::make_tuple(pk, nb::frozenset(keys), sa_insert(table), nb::tuple(columns));
    if (PyDict_SetItem(g_models, model_class.ptr(), info.ptr()) < 0)
        throw nb::python_error();
    return PyDict_GetItem(g_models, model_class.ptr());
}

nb::object auto_pk(nb::handle model_class) { return nb::borrow(glue::tuple_item(model_info(model_class).ptr(), kAutoPk)); }

// Whether every key of the column dictionary `row` names a column of the model's table.
bool table_keys(nb::handle info, nb::handle row) {
    PyObject *keys = glue::tuple_item(info.ptr(), kColumnKeys);
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(row.ptr(), &pos, &key, &value)) {
        int has = PySet_Contains(keys, key);
        if (has < 0)
            throw nb::python_error();
        if (!has)
            return false;
    }
    return true;
}

nb::object exclude_pk(nb::handle pk_name, nb::handle data_dict) {
    glue::check_exact(data_dict, &PyDict_Type, "data_dict");
    if (glue::truthy(pk_name)) {
        int has = PyDict_Contains(data_dict.ptr(), pk_name.ptr());
        if (has < 0 || (has && PyDict_DelItem(data_dict.ptr(), pk_name.ptr()) < 0))
            throw nb::python_error();
    }
    return nb::borrow(data_dict);
}

// The column dictionary of a model instance. An instance never loaded from the database
// leaves out the attributes it was never given whose columns have a default, so that the
// insert takes the default, as a flush would; an attribute set to None is kept.
nb::object instance_row(nb::handle data, nb::handle model_class) {
    PyObject *columns = glue::tuple_item(model_info(model_class).ptr(), kColumns);
    nb::object state = optional_attr(data, n_instance_state);
    nb::object given = state.is_valid() ? get_attr(state, n_dict) : nb::object();
    const bool fresh = given.is_valid() && PyDict_Check(given.ptr()) && get_attr(state, n_key).is_none();
    nb::dict row;
    for (Py_ssize_t i = 0; i < glue::tuple_size(columns); ++i) {
        PyObject *col = glue::tuple_item(columns, i);
        PyObject *name = glue::tuple_item(col, 0), *attr = glue::tuple_item(col, 1);
        PyObject *value = fresh ? PyDict_GetItemWithError(given.ptr(), attr) : nullptr;
        nb::object v;
        if (value) {
            v = nb::borrow(value);
        } else if (PyErr_Occurred()) {
            throw nb::python_error();
        } else if (fresh && glue::tuple_item(col, 2) == Py_True) {
            continue;
        } else {
            v = check(PyObject_GetAttr(data.ptr(), attr));
        }
        if (PyDict_SetItem(row.ptr(), name, v.ptr()) < 0)
            throw nb::python_error();
    }
    return std::move(row);
}

// A column dictionary for one row. A dict argument is copied, so the caller's own dict
// keeps its key entry; a dict subclass is passed on uncopied and rejected by exclude_pk.
nb::object convert_data(nb::handle data, nb::handle model_class, nb::handle with_pk_excluded) {
    nb::object pk = glue::truthy(with_pk_excluded) ? auto_pk(model_class) : nb::none();
    nb::object row;
    if (PyDict_CheckExact(data.ptr())) {  // the common case first: the isinstance checks below cost more
        row = check(PyDict_Copy(data.ptr()));
    } else if (is_instance(data, pydantic_model.get())) {
        row = call_method(data, n_model_dump);
    } else if (is_instance(data, declarative_base.get())) {
        row = instance_row(data, model_class);
    } else if (PyDict_Check(data.ptr())) {
        row = PyDict_CheckExact(data.ptr()) ? check(PyDict_Copy(data.ptr())) : nb::borrow(data);
    } else {
        glue::raise(PyExc_TypeError, "Data type " + std::string(nb::str(type_of(data)).c_str()) + " is not supported");
    }
    return exclude_pk(pk, row);
}

// statement.values(**row)
nb::object with_values(nb::handle statement, nb::handle row) {
    nb::object values = get_attr(statement, n_values);
    nb::object no_args = nb::steal(PyTuple_New(0));
    return check(PyObject_Call(values.ptr(), no_args.ptr(), row.ptr()));
}

// model.id == id
nb::object id_matches(nb::handle model, nb::handle id) {
    nb::object column = get_attr(model, n_id);
    return check(PyObject_RichCompare(column.ptr(), id.ptr(), Py_EQ));
}

bool use_orm2(nb::handle cls, nb::handle statement) {
    nb::object descriptions = get_attr(statement, n_column_descriptions);
    if (nb::len(descriptions) == 1) {
        nb::object first = check(PySequence_GetItem(descriptions.ptr(), 0));
        nb::object entity = get_item(first, nb::handle(n_type));
        nb::object model = type_parameter(cls);
        int eq = PyObject_RichCompareBool(entity.ptr(), model.ptr(), Py_EQ);
        if (eq < 0)
            throw nb::python_error();
        if (eq)
            return true;
    }
    return nb::len(get_attr(statement, n_selected_columns)) == 1;
}

// --- operations -----------------------------------------------------------------------------
// Each takes its bound arguments in declaration order; a[0] is the instance or the class.

using Args = PyObject *const *;

nb::handle cls_of_instance(Args a) { return type_of(a[0]); }
nb::object session_of(Args a) { return mapper_session(cls_of_instance(a)); }

nb::object op_add(Args a) { return call_method(session_of(a), n_add, a[1]); }

nb::object op_add_all(Args a) {
    glue::check_exact(a[1], &PyList_Type, "data");
    return call_method(session_of(a), n_add_all, a[1]);
}

// Whether every row has the keys of the first and those name columns of the model's table.
bool same_columns(nb::handle rows, nb::handle info) {
    PyObject *first = glue::list_item(rows.ptr(), 0);
    if (!PyDict_Check(first) || !table_keys(info, first))
        return false;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    const Py_ssize_t n = glue::list_size(rows.ptr()), k = glue::dict_size(first);
    for (Py_ssize_t i = 1; i < n; ++i) {
        PyObject *row = glue::list_item(rows.ptr(), i);
        if (!PyDict_Check(row) || glue::dict_size(row) != k)
            return false;
        for (pos = 0; PyDict_Next(first, &pos, &key, &value);)
            if (PyDict_Contains(row, key) != 1) {
                PyErr_Clear();
                return false;
            }
    }
    return true;
}

// --- upserts: the session's database kind writes them (glue::Backend::upsert_module)

// insert(table) of the kind of `session`'s database, and the kind.
std::pair<const glue::Backend *, nb::object> kind_insert(nb::handle session, nb::handle table) {
    const glue::Backend *kind = glue::backend_named(get_attr(session, n_db_type));
    if (!kind || !kind->upsert_module)
        glue::raise(PyExc_TypeError, "upserts need a SQLite, MySQL/MariaDB or PostgreSQL datasource");
    return {kind, nb::module_::import_(kind->upsert_module).attr("insert")(table)};
}

nb::list primary_key_names(nb::handle table) {
    nb::list names;
    for (nb::handle col : get_attr(get_attr(table, nb::str("primary_key").ptr()), n_columns))
        names.append(get_attr(col, n_name));
    return names;
}

// Column names given as `names` (a str or an iterable of them), or `fallback` when None.
nb::list column_names(nb::handle names, nb::handle fallback, const char *arg) {
    if (names.is_none())
        return nb::list(fallback);
    nb::list out = PyUnicode_Check(names.ptr()) ? nb::list(nb::make_tuple(names)) : nb::list(names);
    for (nb::handle n : out)
        if (!PyUnicode_Check(n.ptr()))
            glue::raise(PyExc_TypeError, std::string(arg) + " must hold column names (str)");
    return out;
}

// upsert(data, conflict, update): insert the row, or on a conflict on `conflict` (the primary key)
// update the columns `update` (every other column of the row); returns the row's key.
nb::object op_upsert(Args a) {
    nb::object model = type_parameter(cls_of_instance(a));
    nb::object table = get_attr(model, n_table);
    nb::object row = convert_data(a[1], model, Py_False);
    nb::list pk = primary_key_names(table);
    nb::list conflict = column_names(a[2], pk, "conflict");
    nb::list others;
    for (nb::handle k : row)
        if (PySequence_Contains(conflict.ptr(), k.ptr()) == 0)
            others.append(k);
    nb::list update = column_names(a[3], others, "update");
    if (nb::len(conflict) == 0)
        glue::raise(PyExc_ValueError, "upsert needs conflict columns: the table has no primary key");
    nb::object session = session_of(a);
    auto [kind, insert] = kind_insert(session, table);
    nb::object statement = with_values(insert, row);
    nb::dict changes;
    nb::object columns = get_attr(table, nb::str("c").ptr());
    if (kind->on_duplicate_key) {
        nb::object inserted = statement.attr("inserted");
        for (nb::handle c : update)
            changes[c] = inserted[c];
        // the updated row's key becomes the connection's last insert id
        nb::object auto_key = auto_pk(model);
        if (!auto_key.is_none())
            changes[auto_key] = sa_func.get().attr("last_insert_id")(columns[auto_key]);
        if (nb::len(changes) == 0)
            changes[conflict[0]] = columns[conflict[0]];
        nb::object result = call_method(session, n_insert_orm2, statement.attr("on_duplicate_key_update")(changes));
        nb::object key = result.attr("inserted_primary_key");
        return nb::len(pk) == 1 ? check(PySequence_GetItem(key.ptr(), 0)) : nb::tuple(key);
    }
    nb::object excluded = statement.attr("excluded");
    for (nb::handle c : update)
        changes[c] = excluded[c];
    if (nb::len(changes) == 0)  // no change, but RETURNING still gives the row's key
        changes[conflict[0]] = excluded[conflict[0]];
    statement = statement.attr("on_conflict_do_update")("index_elements"_a = conflict, "set_"_a = changes);
    nb::list returned;
    for (nb::handle p : pk)
        returned.append(columns[p]);
    statement = check(PyObject_CallObject(statement.attr("returning").ptr(), nb::tuple(returned).ptr()));
    nb::object got = call_method(session, n_select_one_orm1, statement);
    nb::list key;
    for (nb::handle p : pk)
        key.append(got[p]);
    return nb::len(pk) == 1 ? nb::object(key[0]) : nb::object(nb::tuple(key));
}

// The insert save_batch runs for rows naming table columns: the table's own, or with
// on_conflict="ignore" one that skips rows conflicting with a unique key.
nb::object batch_insert(nb::handle session, nb::handle model, nb::handle info, nb::handle on_conflict) {
    if (on_conflict.is_none())
        return nb::borrow(glue::tuple_item(info.ptr(), kTableInsert));
    if (!PyUnicode_Check(on_conflict.ptr()) || PyUnicode_CompareWithASCIIString(on_conflict.ptr(), "ignore") != 0)
        glue::raise(PyExc_ValueError, "on_conflict must be None or 'ignore', not " +
                                          std::string(nb::repr(on_conflict).c_str()));
    nb::object table = get_attr(model, n_table);
    auto [kind, insert] = kind_insert(session, table);
    if (!kind->on_duplicate_key)
        return insert.attr("on_conflict_do_nothing")();
    nb::list pk = primary_key_names(table);
    nb::dict same;  // a no-op update
    same[pk[0]] = get_attr(table, nb::str("c").ptr())[pk[0]];
    return insert.attr("on_duplicate_key_update")(same);
}

nb::object op_save_batch(Args a) {
    glue::check_exact(a[1], &PyList_Type, "data");
    nb::object model = type_parameter(cls_of_instance(a));
    // Rows skipped on a conflict keep the keys they give, so that those can conflict.
    const bool keep_keys = !nb::handle(a[3]).is_none();
    nb::object pk = keep_keys ? nb::none() : auto_pk(model);
    nb::list rows;
    for (Py_ssize_t i = 0; i < glue::list_size(a[1]); ++i) {
        nb::handle item = glue::list_item(a[1], i);
        // A dict without the key column is inserted as it is: only a removal needs a copy.
        const bool plain = PyDict_CheckExact(item.ptr());
        int keyed = plain && !pk.is_none() ? PyDict_Contains(item.ptr(), pk.ptr()) : 0;
        if (keyed < 0)
            throw nb::python_error();
        rows.append(plain && !keyed ? nb::borrow(item) : convert_data(item, model, keep_keys ? Py_False : Py_True));
    }
    if (nb::len(rows) == 0)
        return nb::none();  // an empty parameter list would run the insert once, with no values
    nb::handle info = model_info(model);
    nb::object session = session_of(a);
    nb::object table_insert = batch_insert(session, model, info, a[3]);
    if (same_columns(rows, info)) {
        call_method(session, n_insert_list, table_insert, rows, a[2]);
        return nb::none();
    }
    // Rows with different keys: one insert per key set, in the order the sets first occur, so
    // that a missing key takes the column's default and a None stays NULL in every row.
    std::vector<nb::list> groups;
    nb::dict group_of;  // frozenset of a row's keys -> index in groups
    for (nb::handle row : rows) {
        nb::object keys = nb::frozenset(row);
        nb::object at = lookup(group_of, keys);
        if (!at.is_valid()) {
            at = nb::int_(groups.size());
            group_of[keys] = at;
            groups.emplace_back();
        }
        groups[nb::cast<std::size_t>(at)].append(row);
    }
    nb::object orm_insert;  // for rows naming attributes that are no table column keys
    auto run = [&] {
        for (nb::list &group : groups) {
            nb::handle first = glue::list_item(group.ptr(), 0);
            if (PyDict_Check(first.ptr()) && table_keys(info, first)) {
                call_method(session, n_insert_list, table_insert, group, a[2]);
                continue;
            }
            if (!orm_insert.is_valid()) {
                nb::dict nulls;
                nulls["render_nulls"] = true;
                nb::object options = get_attr(sa_insert(model), n_execution_options);
                orm_insert = check(PyObject_Call(options.ptr(), nb::tuple().ptr(), nulls.ptr()));
            }
            call_method(session, n_insert_orm2, orm_insert, group);
        }
    };
    if (groups.size() == 1) {
        run();
        return nb::none();
    }
    call_method(session, n_begin_tx);  // all groups or none
    try {
        run();
    } catch (nb::python_error &e) {
        finish_transaction(session, true, e.value());
        throw;
    }
    finish_transaction(session, false, nb::handle());
    return nb::none();
}

nb::object op_insert(Args a) {
    nb::object model = type_parameter(cls_of_instance(a));
    nb::object row = convert_data(a[1], model, Py_True);
    // Rows naming table columns run the table's insert made once, the row as its parameters (a
    // list of one row executes once); others go through insert(model).values(**row).
    nb::handle info = model_info(model);
    nb::object result;
    if (PyDict_Check(row.ptr()) && table_keys(info, row)) {
        nb::list one;
        one.append(row);
        result = call_method(session_of(a), n_insert_orm2, glue::tuple_item(info.ptr(), kTableInsert), one);
    } else {
        result = call_method(session_of(a), n_insert_orm2, with_values(sa_insert(model), row));
    }
    nb::object key = result.attr("inserted_primary_key");
    if (!glue::truthy(key))
        return nb::none();
    return check(PySequence_GetItem(key.ptr(), 0));
}

nb::object op_delete(Args a) { return call_method(session_of(a), n_delete_orm2, a[1]); }

nb::object op_delete_by_id(Args a) {
    glue::check_exact(a[1], &PyLong_Type, "id");
    nb::object model = type_parameter(cls_of_instance(a));
    nb::object statement = call_method(sa_delete(model), n_where, id_matches(model, a[1]));
    return call_method(session_of(a), n_delete_orm2, statement);
}

nb::object op_update(Args a) {
    glue::check_exact(a[2], &PyDict_Type, "data", true);
    return call_method(session_of(a), n_update_orm2, a[1], a[2]);
}

nb::object op_update_by_id(Args a) {
    glue::check_exact(a[1], &PyDict_Type, "data");
    nb::object model = type_parameter(cls_of_instance(a));
    nb::object data = nb::borrow(a[1]);
    if (glue::truthy(a[2])) {
        nb::dict kept;
        for (auto [k, v] : nb::borrow<nb::dict>(data))
            if (!v.is_none())
                kept[k] = v;
        data = std::move(kept);
    }
    nb::object id = get_item(data, nb::handle(n_id));
    nb::object statement = with_values(call_method(sa_update(model), n_where, id_matches(model, id)), data);
    return call_method(session_of(a), n_update_orm2, statement);
}

nb::object op_bulk_update_mappings(Args a) {
    glue::check_exact(a[2], &PyList_Type, "data_list", true);
    nb::object model = nb::handle(a[1]).is_none() ? type_parameter(cls_of_instance(a)) : nb::borrow(a[1]);
    return call_method(session_of(a), n_bulk_update_mappings, model, a[2]);
}

nb::object op_convert_data(Args a) { return convert_data(a[1], a[2], a[3]); }

nb::object op_select_all(Args a) {
    nb::handle cls = cls_of_instance(a);
    if (nb::handle(a[1]).is_none())
        return call_method(mapper_session(cls), n_select_all_orm2, sa_select(type_parameter(cls)));
    PyObject *op = use_orm2(cls, a[1]) ? n_select_all_orm2 : n_select_all_orm1;
    return call_method(mapper_session(cls), op, a[1]);
}

nb::object op_select_one(Args a) {
    nb::handle cls = cls_of_instance(a);
    nb::object one = nb::int_(1);
    if (nb::handle(a[1]).is_none())
        return call_method(mapper_session(cls), n_select_one_orm2,
                           call_method(sa_select(type_parameter(cls)), n_limit, one));
    nb::object statement = call_method(a[1], n_limit, one);
    PyObject *op = use_orm2(cls, statement) ? n_select_one_orm2 : n_select_one_orm1;
    return call_method(mapper_session(cls), op, statement);
}

nb::object op_select_by_id(Args a) {
    glue::check_exact(a[1], &PyLong_Type, "id");
    nb::handle cls = cls_of_instance(a);
    nb::object model = type_parameter(cls);
    nb::object statement = call_method(sa_select(model), n_where, id_matches(model, a[1]));
    return call_method(mapper_session(cls), n_select_one_orm2, statement);
}

nb::object op_select_all_by_sql(Args a) {
    glue::check_exact(a[1], &PyUnicode_Type, "sql_str");
    glue::check_exact(a[2], &PyDict_Type, "sql_param", true);
    return call_method(session_of(a), n_select_list, sa_text(nb::handle(a[1])), a[2]);
}

nb::object op_select_page_by_sql(Args a) {
    glue::check_exact(a[1], &PyUnicode_Type, "sql_str");
    glue::check_exact(a[2], &PyDict_Type, "sql_param", true);
    return call_method(session_of(a), n_select_page, sa_text(nb::handle(a[1])), a[3], a[2]);
}

// The page's rows are fetched like select_all fetches them: entities or single values as
// scalars, several columns as rows (scalars would keep only the first column).
nb::object op_select_page_by_orm(Args a) {
    nb::handle cls = cls_of_instance(a), statement(a[1]);
    glue::PageWindow w = glue::page_window(a[2]);
    nb::object count = call_method(sa_select(call_method(sa_func.get(), n_count)), n_select_from,
                                   call_method(statement, n_subquery));
    nb::object page_statement = call_method(call_method(statement, n_limit, w.size), n_offset, w.offset);
    nb::object session = mapper_session(cls);
    nb::dict result;
    result[nb::handle(n_list)] = call_method(session, use_orm2(cls, statement) ? n_select_all_orm2 : n_select_all_orm1,
                                 page_statement);
    result[nb::handle(n_total)] = call_method(session, n_select_one_orm2, count);
    return std::move(result);
}

nb::object op_use_orm2(Args a) { return nb::bool_(use_orm2(cls_of_instance(a), a[1])); }

nb::object op_session_property(Args a) { return session_of(a); }
nb::object op_session(Args a) { return mapper_session(a[0]); }
nb::object op_type_parameter(Args a) { return type_parameter(a[0]); }
nb::object op_get_auto_pk(Args a) { return auto_pk(a[1]); }
nb::object op_exclude_pk(Args a) { return exclude_pk(a[0], a[1]); }

nb::object op_db_session(Args a) {
    glue::check_exact(a[1], &PyUnicode_Type, "datasource_name", true);
    return new_session_scope(a[1]);
}

nb::object op_switch_datasource(Args a) {
    glue::check_exact(a[1], &PyUnicode_Type, "datasource_name");
    return new_transaction_scope(a[1], glue::truthy(a[2]));
}

// --- method objects ----------------------------------------------------------------------------

enum class Kind { Method, ClassMethod, StaticMethod, Property };
enum class Default { Required, None, False, True, Page };

struct Param {
    const char *name;
    Default def = Default::Required;
};


struct MethodDef {
    const char *name;
    Kind kind;
    std::vector<Param> params;
    nb::object (*body)(Args);
    const char *doc;
    FixedSignature signature{};  // made with the method object; display: the name as written in the class body
    PyObject *operation = nullptr;  // the display name, interned: the operation of the statement id
};

std::vector<MethodDef> g_methods;

PyObject *default_of(Default d) {
    switch (d) {
        case Default::None: return Py_None;
        case Default::False: return Py_False;
        case Default::True: return Py_True;
        case Default::Page: return glue::Runtime::alive(g_default_page).ptr();
        default: return nullptr;
    }
}

// The behaviour of every method object; flags hold the index of its MethodDef.
PyObject *method_call(PyObject *self, PyObject *const *args, std::size_t nargsf, PyObject *kwnames) {
    return guarded([&] {
        const MethodDef &def = g_methods[static_cast<std::size_t>(flags(self))];
        PyObject *bound[kMaxFixedParams];
        bind_fixed(def.signature, args, nargsf, kwnames, bound);
        for (std::size_t i = 0; i < def.params.size(); ++i)
            if (!bound[i])
                bound[i] = default_of(def.params[i].def);
        if (def.kind != Kind::Method || def.name[0] == '_')
            return def.body(bound);
        // The statement id "Model.operation", resolved by whatever records the statement.
        glue::StatementId named(nb::make_tuple(nb::handle(bound[0]), nb::handle(def.operation)));
        return def.body(bound);
    });
}

// A function-like object for `def`, with the metadata and signature inspect reads.
nb::object make_method(std::size_t index) {
    MethodDef &def = g_methods[index];
    std::string_view name = def.name, mangling = "_BaseMapper";
    def.signature.display = std::string(name.substr(name.compare(0, mangling.size(), mangling) == 0 ? mangling.size() : 0));
    def.operation = intern(def.signature.display.c_str());
    def.signature.count = def.params.size();
    nb::handle parameter = inspect_parameter.get();
    nb::object kind = parameter.attr("POSITIONAL_OR_KEYWORD");
    nb::list params;
    for (std::size_t i = 0; i < def.params.size(); ++i) {
        def.signature.names[i] = def.params[i].name;
        def.signature.interned[i] = intern(def.params[i].name);
        def.signature.required[i] = def.params[i].def == Default::Required;
        PyObject *d = default_of(def.params[i].def);
        nb::handle pname(def.signature.interned[i]);
        params.append(d ? parameter(pname, kind, "default"_a = nb::handle(d)) : parameter(pname, kind));
    }
    nb::object fn = make_callable(&method_call, {}, static_cast<long>(index));
    nb::setattr(fn, "__name__", nb::str(def.signature.display.c_str()));
    nb::setattr(fn, "__qualname__", nb::str(("BaseMapper." + def.signature.display).c_str()));
    nb::setattr(fn, "__doc__", nb::str(def.doc));
    nb::setattr(fn, "__module__", nb::str("zorvane.zorvane"));
    nb::setattr(fn, "__signature__", nb::module_::import_("inspect").attr("Signature")(params));
    switch (def.kind) {
        case Kind::ClassMethod: return nb::borrow(glue::classmethod_type())(fn);
        case Kind::StaticMethod: return nb::borrow(glue::staticmethod_type())(fn);
        case Kind::Property:
            return nb::borrow(reinterpret_cast<PyObject *>(&PyProperty_Type))(fn, nb::none(), nb::none(),
                                                                                 nb::str(def.doc));
        default: return fn;
    }
}

void define_methods() {
    using K = Kind;
    using D = Default;
    const Param self{"self"}, cls{"cls"};
    g_methods = {
        {"_BaseMapper__session", K::ClassMethod, {cls}, op_session,
         "The ZorvaneSqlSession of the current datasource."},
        {"session", K::Property, {self}, op_session_property,
         "The ZorvaneSqlSession of the current datasource, read anew on every access."},
        {"_BaseMapper__type_parameter", K::ClassMethod, {cls}, op_type_parameter,
         "The model class given as the type argument of BaseMapper in the class's bases."},
        {"_BaseMapper__exclude_pk", K::StaticMethod, {{"pk_name"}, {"data_dict"}}, op_exclude_pk,
         "Removes the entry `pk_name` from `data_dict` itself when present; returns the dict."},
        {"_get_auto_pk", K::ClassMethod, {cls, {"model_class"}}, op_get_auto_pk,
         "Name of the model's integer auto-increment primary-key column, or None."},
        {"_convert_data", K::Method, {self, {"data"}, {"model_class"}, {"exclude_pk", D::True}}, op_convert_data,
         "A column dictionary from a pydantic model, a declarative model instance or a dict (copied)."},
        {"add", K::Method, {self, {"data"}}, op_add, "Adds one object to the session and flushes."},
        {"add_all", K::Method, {self, {"data"}}, op_add_all, "Adds the objects of a list and flushes."},
        {"save_batch", K::Method, {self, {"data"}, {"batch_size", D::None}, {"on_conflict", D::None}}, op_save_batch,
         "Inserts every row of a list once through the bulk path, `batch_size` rows per execution (all at once when "
         "None), rows with different keys in one transaction; on_conflict='ignore' skips rows that conflict with a "
         "unique key (the keys given are kept). Returns None."},
        {"upsert", K::Method, {self, {"data"}, {"conflict", D::None}, {"update", D::None}}, op_upsert,
         "Inserts one row or, when it conflicts on the `conflict` columns (the primary key), updates the `update` "
         "columns (every other column of the row); returns the row's key."},
        {"insert", K::Method, {self, {"data"}}, op_insert,
         "Inserts one row (integer auto-increment key left to the database); returns the new key or None."},
        {"delete", K::Method, {self, {"del_statement"}}, op_delete, "Runs a delete statement; returns the row count."},
        {"delete_by_id", K::Method, {self, {"id"}}, op_delete_by_id, "Deletes the row whose id is `id`; returns the row count."},
        {"update", K::Method, {self, {"update_stat"}, {"data", D::None}}, op_update,
         "Runs an update statement with `data` as its parameters; returns the row count."},
        {"update_by_id", K::Method, {self, {"data"}, {"selective", D::False}}, op_update_by_id,
         "Updates the row of data['id'] to the values of `data` (only those not None when selective)."},
        {"bulk_update_mappings", K::Method, {self, {"table_model", D::None}, {"data_list", D::None}},
         op_bulk_update_mappings, "Updates rows from dictionaries holding their keys (table_model: the model)."},
        {"select_all", K::Method, {self, {"statement", D::None}}, op_select_all,
         "All rows of the table as models, or of a select: entities or values, else rows."},
        {"select_one", K::Method, {self, {"statement", D::None}}, op_select_one,
         "The first row of the table as a model, or of a select; None when there is none."},
        {"select_by_id", K::Method, {self, {"id"}}, op_select_by_id, "The model whose id is `id`, or None."},
        {"select_all_by_sql", K::Method, {self, {"sql_str"}, {"sql_param", D::None}}, op_select_all_by_sql,
         "All rows of a textual select (:name parameters) as dictionaries."},
        {"select_page_by_sql", K::Method, {self, {"sql_str"}, {"sql_param", D::None}, {"page", D::Page}},
         op_select_page_by_sql, "One page of a textual select: the page dictionary."},
        {"select_page_by_orm", K::Method, {self, {"statement"}, {"page", D::Page}}, op_select_page_by_orm,
         "One page of a select and the total row count: {'list': [...], 'total': n}."},
        {"_use_orm2", K::Method, {self, {"statement"}}, op_use_orm2,
         "Whether the select yields one entity or one column per row (fetched as scalars)."},
        {"db_session", K::ClassMethod, {cls, {"datasource_name", D::None}}, op_db_session,
         "Context manager yielding a new ORM session of the datasource (current one by default)."},
        {"switch_datasource", K::ClassMethod, {cls, {"datasource_name"}, {"nested", D::False}}, op_switch_datasource,
         "Context manager running a block on the datasource inside one transaction of its session object (with "
         "`nested`, a SAVEPOINT inside an open one)."},
    };
}

// Fills the class namespace while types.new_class builds BaseMapper.
void fill_namespace(nb::dict ns) {
    ns["__module__"] = "zorvane.zorvane";
    ns["__doc__"] = "Generic base of mapper classes; parameterise it with a declarative table model.";
    ns["datasource"] = nb::none();
    ns["default_key"] = nb::none();
    ns["raw_sql"] = false;
    ns["_sig_cache"] = nb::dict();
    ns["_type_cache"] = nb::dict();
    for (std::size_t i = 0; i < g_methods.size(); ++i)
        ns[g_methods[i].name] = make_method(i);
}

}  // namespace

nb::object type_parameter(nb::handle cls) {
    nb::object cache = get_attr(base_mapper(), n_type_cache);
    if (nb::object hit = lookup(cache, cls); hit.is_valid())
        return hit;
    nb::object bases = optional_attr(cls, n_orig_bases);
    for (nb::handle base : bases.is_valid() ? bases : nb::tuple()) {
        nb::object origin = get_origin(base);
        if (!origin.is(base_mapper()) && !origin.is(async_base_mapper()))
            continue;
        nb::object args = get_args(base);
        if (nb::len(args) == 0)
            continue;
        nb::object model = check(PySequence_GetItem(args.ptr(), 0));
        if (PyObject_SetItem(cache.ptr(), cls.ptr(), model.ptr()) < 0)
            throw nb::python_error();
        return model;
    }
    glue::raise(PyExc_TypeError, "Generic type not found");
}

nb::object mapper_session(nb::handle cls) {
    nb::object registry = get_attr(cls, n_datasource);
    return entry_session(get_item(registry, current_db()));
}

void register_base_mapper(nb::module_ &m) {
    for (auto [slot, text] : std::initializer_list<std::pair<PyObject **, const char *>>{
             {&n_type_cache, "_type_cache"}, {&n_datasource, "datasource"},
             {&n_orig_bases, "__orig_bases__"}, {&n_table, "__table__"}, {&n_columns, "columns"},
             {&n_name, "name"},
             {&n_model_dump, "model_dump"}, {&n_values, "values"}, {&n_where, "where"}, {&n_limit, "limit"},
             {&n_offset, "offset"}, {&n_id, "id"}, {&n_add, "add"}, {&n_add_all, "add_all"},
             {&n_insert_orm2, "insert_orm2"}, {&n_delete_orm2, "delete_orm2"}, {&n_update_orm2, "update_orm2"},
             {&n_bulk_update_mappings, "bulk_update_mappings"}, {&n_select_all_orm1, "select_all_orm1"},
             {&n_select_all_orm2, "select_all_orm2"}, {&n_select_one_orm1, "select_one_orm1"},
             {&n_select_one_orm2, "select_one_orm2"}, {&n_select_list, "select_list"},
             {&n_select_page, "select_page"}, {&n_column_descriptions, "column_descriptions"},
             {&n_selected_columns, "selected_columns"}, {&n_type, "type"}, {&n_subquery, "subquery"},
             {&n_select_from, "select_from"}, {&n_count, "count"},
             {&n_list, "list"}, {&n_total, "total"}, {&n_insert_list, "insert_list"},
             {&n_key, "key"}, {&n_autoincrement_column, "autoincrement_column"}, {&n_default, "default"},
             {&n_server_default, "server_default"}, {&n_should_evaluate_none, "should_evaluate_none"},
             {&n_instance_state, "_sa_instance_state"}, {&n_dict, "dict"}, {&n_begin_tx, "begin_tx"},
             {&n_execution_options, "execution_options"}, {&n_db_type, "_db_type"}})
        *slot = intern(text);
    glue::runtime().keep(g_models, PyDict_New(), glue::Runtime::At::Empty);
    glue::runtime().keep(g_default_page, nb::object(nb::module_::import_("zorvane.db.ostrane").attr("Page")(1, 10)));
    define_methods();

    nb::module_ typing = nb::module_::import_("typing");
    nb::object T = typing.attr("TypeVar")("T", nb::arg("bound") = declarative_base.get());
    nb::object bases = nb::make_tuple(make_intercepting_base(m), typing.attr("Generic")[T]);
    nb::object body = nb::cpp_function(&fill_namespace, "ns"_a);
    nb::object cls = nb::module_::import_("types").attr("new_class")("BaseMapper", bases, nb::dict(), body);
    set_base_mapper(cls);
    init_interception();
    m.attr("T") = T;
    m.attr("BaseMapper") = cls;
}

}  // namespace zorvane::top
