// placeholder: the LiteRT runner lands with the model chain
