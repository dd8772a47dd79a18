// The engine's WebAssembly travels inside this same file, gzip-compressed and in base64 (cmake/web_embed.py
// puts it in place of the mark below): a third of the size of emscripten's own single file, which carries
// it uncompressed. The browser (and Node) unpacks it with DecompressionStream; nothing is evaluated.
Module['instantiateWasm'] = function(imports, receive) {
  var text = atob('@BRAE_WASM_GZIP_BASE64@');
  var packed = new Uint8Array(text.length);
  for (var i = 0; i < text.length; i++) packed[i] = text.charCodeAt(i);
  new Response(new Blob([packed]).stream().pipeThrough(new DecompressionStream('gzip')))
    .arrayBuffer()
    .then(function(bytes) { return WebAssembly.instantiate(bytes, imports); })
    .then(function(result) { receive(result.instance, result.module); }, function(reason) {
      err('failed to unpack the engine: ' + reason);
      abort(reason);
    });
  return {};
};
