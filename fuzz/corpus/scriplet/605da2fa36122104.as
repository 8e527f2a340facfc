xof 0303txt 0032
Frame F {
  Mesh { 4; -1;1;0.5;, 1;1;0.5;, -1;-1;0.5;, 1;-1;0.5;;
    2; 3;0,1,2;, 3;2,1,3;;
    MeshNormals { 1; 0;0;-1;; 2; 3;0,0,0;, 3;0,0,0;; }
    MeshTextureCoords { 4; 0;0;, 1;0;, 0;1;, 1;1;; }
    MeshMaterialList { 2; 2; 0, 0;;
      Material { 1;1;1;1;; 0; 0;0;0;; 0;0;0;; TextureFilename { "pics\checker.bmp"; } }
      Material { 1;1;1;1;; 0; 0;0;0;; 0;0;0;; TextureFilename { "missing.bmp"; } } } } }

void render(float t) {}
