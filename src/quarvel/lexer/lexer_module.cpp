// quarvel.lexer: the Lexer type and its table of operations.
#include "lexer.hpp"
#include "quarvel/args.hpp"
#include "quarvel/module_state.hpp"

#include <new>

namespace quarvel {
namespace {

struct State {
  PyTypeObject* lexer_type;
  LexerCapi capi;  // published as the module's _C_API
};

State& state(PyObject* module) { return state_of_module<State>(module); }

PyObject* lexer_new(PyTypeObject* type, PyObject*, PyObject*) {
  PyObject* self = type->tp_alloc(type, 0);
  if (!self) return nullptr;
  auto* lx = reinterpret_cast<LexerInstance*>(self);
  new (&lx->buffer) std::vector<Token>();
  new (&lx->comments) std::vector<LexComment>();
  new (&lx->error_text) std::string();
  lx->keep_comments = false;
  new (&lx->content) std::string_view();
  lx->buffer_idx = 0;
  lx->line_num = 0;
  lx->is_idd = false;
  lx->pos = 0;
  lx->owner = nullptr;
  return self;
}

void lexer_dealloc(PyObject* self) {
  auto* lx = reinterpret_cast<LexerInstance*>(self);
  PyTypeObject* type = Py_TYPE(self);
  Py_CLEAR(lx->owner);
  lx->buffer.~vector();
  lx->comments.~vector();
  lx->error_text.~basic_string();
  type->tp_free(self);
  Py_DECREF(type);
}

// Input that is not bytes yields a single error token instead of text.
void c_init(LexerInstance* self, PyObject* content, int is_idd) {
  Py_CLEAR(self->owner);
  if (!PyBytes_Check(content)) {
    lexer::reset(self, std::string_view(), is_idd != 0);
    self->error_text.assign("tokenizer input must be bytes");
    self->buffer.push_back(Token{TOKEN_ERROR, self->error_text});
    return;
  }
  self->owner = Py_NewRef(content);
  lexer::reset(self,
               std::string_view(PyBytes_AS_STRING(content), static_cast<size_t>(PyBytes_GET_SIZE(content))),
               is_idd != 0);
}

const LexerOps kOps = {
    c_init,
    lexer::continue_with,
    lexer::scan_next_line,
};


// Test hook: the whole token stream of `data` as (type, value, line) tuples.
const char* const kTokenizeNames[] = {"data", "idd_mode"};
const Signature kTokenizeSig = {"_tokenize", kTokenizeNames, 2, 1, 2};

PyObject* py_tokenize(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  if (bind_arguments(kTokenizeSig, args, nargs, kwnames, a) < 0) return nullptr;
  if (!PyBytes_Check(a[0])) {
    raise_argument_type("data", "bytes", a[0]);
    return nullptr;
  }
  const int idd_mode = a[1] ? PyObject_IsTrue(a[1]) : 0;
  if (idd_mode < 0) return nullptr;
  PyRef lexer(lexer_new(state(module).lexer_type, nullptr, nullptr));
  if (!lexer) return nullptr;
  auto* lx = reinterpret_cast<LexerInstance*>(lexer.get());
  c_init(lx, a[0], idd_mode);
  PyRef out(PyList_New(0));
  if (!out) return nullptr;
  return guard(
      [&]() -> PyObject* {
        for (;;) {
          Token tok = lexer::next_token(lx);
          // An empty view may have no data pointer, which "y#" would make None.
          PyRef item(Py_BuildValue("(iy#L)", static_cast<int>(tok.type), tok.value.empty() ? "" : tok.value.data(),
                                   static_cast<Py_ssize_t>(tok.value.size()), static_cast<long long>(lx->line_num)));
          if (!item || PyList_Append(out.get(), item.get()) < 0) return nullptr;
          if (tok.type == TOKEN_EOF || tok.type == TOKEN_ERROR) return out.release();
        }
      },
      nullptr);
}

// Benchmark hook: the number of tokens in `data`, counted without the interpreter
// lock and without making a Python object per token.
PyObject* py_count_tokens(PyObject* module, PyObject* data) {
  if (!PyBytes_Check(data)) {
    raise_argument_type("data", "bytes", data);
    return nullptr;
  }
  PyRef lexer(lexer_new(state(module).lexer_type, nullptr, nullptr));
  if (!lexer) return nullptr;
  auto* lx = reinterpret_cast<LexerInstance*>(lexer.get());
  c_init(lx, data, 0);
  Py_ssize_t count = 0;
  bool failed = false;
  Py_BEGIN_ALLOW_THREADS
  try {
    for (;;) {
      const Token tok = lexer::next_token(lx);
      ++count;
      if (tok.type == TOKEN_EOF || tok.type == TOKEN_ERROR) break;
    }
  } catch (const std::bad_alloc&) {
    failed = true;
  }
  Py_END_ALLOW_THREADS
  if (failed) return PyErr_NoMemory();
  return PyLong_FromSsize_t(count);
}

PyMethodDef kMethods[] = {
    {"_count_tokens", py_count_tokens, METH_O,
     "_count_tokens(data, /)\n--\n\nBenchmark hook: the number of tokens in `data`, the last one included."},
    {"_tokenize", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_tokenize)),
     METH_FASTCALL | METH_KEYWORDS,
     "_tokenize(data, idd_mode=False)\n--\n\n"
     "Test hook: the token stream of `data` as a list of (type, value, line) tuples,\n"
     "ending with the end or error token."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kLexerSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(lexer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(lexer_dealloc)},
    {Py_tp_doc, const_cast<char*>("Tokenizer of IDF text; driven from native code.")},
    {0, nullptr},
};

PyType_Spec kLexerSpec = {
    "quarvel.lexer.Lexer", sizeof(LexerInstance), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, kLexerSlots,
};

int exec_module(PyObject* module) {
  State& st = state(module);
  st.lexer_type = reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &kLexerSpec, nullptr));
  if (!st.lexer_type) return -1;
  st.capi = LexerCapi{{LEXER_CAPI_VERSION, sizeof(LexerCapi), LEXER_LAYOUT}, st.lexer_type, &kOps};
  if (PyModule_AddObjectRef(module, "Lexer", reinterpret_cast<PyObject*>(st.lexer_type)) < 0) return -1;
  static const struct {
    const char* name;
    int value;
  } kTokenTypes[] = {{"TOKEN_TEXT", TOKEN_TEXT},
                     {"TOKEN_COMMA", TOKEN_COMMA},
                     {"TOKEN_SEMICOLON", TOKEN_SEMICOLON},
                     {"TOKEN_EOF", TOKEN_EOF},
                     {"TOKEN_ERROR", TOKEN_ERROR}};
  for (const auto& t : kTokenTypes) {
    if (PyModule_AddIntConstant(module, t.name, t.value) < 0) return -1;
  }
  return publish_capi(module, "_C_API", LEXER_CAPSULE, &st.capi);
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
  Py_VISIT(state(module).lexer_type);
  return 0;
}

int clear_module(PyObject* module) {
  Py_CLEAR(state(module).lexer_type);
  return 0;
}

void free_module(void* module) { clear_module(static_cast<PyObject*>(module)); }

PyModuleDef_Slot kSlots[] = {QUARVEL_MODULE_SLOTS(exec_module)};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "quarvel.lexer", "Tokenizer of IDF text for quarvel.", sizeof(State), kMethods, kSlots,
    traverse_module, clear_module, free_module,
};

}  // namespace
}  // namespace quarvel

PyMODINIT_FUNC PyInit_lexer() { return PyModuleDef_Init(&quarvel::kModule); }
