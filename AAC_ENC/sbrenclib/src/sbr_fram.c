/* Frame generator: from the transient information and the borders planned by the previous
 * frame, the frame class, the envelope borders and resolutions, the noise borders and the
 * grid fields of each SBR frame.
 *
 * A transient frame first plans its borders up to twice the frame length (the transient
 * border, two short envelopes after it, then even envelopes to slot 32); the frame takes
 * the plan up to its first border at or beyond slot 16 and carries the rest into the next
 * frame.  The plan is then fitted to what the grid syntax can say (relative borders of 2, 4,
 * 6 or 8 slots counted from the frame's ends, at most three per side and four in all); a
 * border that cannot be said merges its two envelopes. */
#include <string.h>

#include "aac_sbr_int.h"

#define PLAN_MAX 24

typedef struct Plan {
  int32_t n;              /* borders */
  int32_t b[PLAN_MAX];
  int32_t res[PLAN_MAX];  /* resolution of the envelope that starts at b[i] */
  int32_t tran;           /* index of the transient border, -1 for none */
} Plan;

void sbrFrameGenOpen(SbrFrameGen *g, int32_t allow_spread, int32_t static_framing, int32_t static_envs) {
  memset(g, 0, sizeof(*g));
  g->prev_class = FIXFIX;
  g->allow_spread = allow_spread;
  g->static_framing = static_framing;
  g->static_envs = static_envs;
  g->slots = SBR_TIME_SLOTS;
  g->lead_in = SBR_LEAD_IN;
  g->dmin = 4;
  g->dmax = 12;
  g->carry_short = -1;
  g->prev_tran_slot = 1000;
}

static void plan_insert(Plan *p, int32_t at, int32_t border, int32_t res) {
  if (p->n >= PLAN_MAX) return;
  for (int32_t i = p->n; i > at; i--) {
    p->b[i] = p->b[i - 1];
    p->res[i] = p->res[i - 1];
  }
  p->b[at] = border;
  p->res[at] = res;
  p->n++;
  if (p->tran >= at) p->tran++;
}

static void plan_remove(Plan *p, int32_t at) {
  for (int32_t i = at; i + 1 < p->n; i++) {
    p->b[i] = p->b[i + 1];
    p->res[i] = p->res[i + 1];
  }
  p->n--;
  if (p->tran == at) p->tran = -1;
  else if (p->tran > at) p->tran--;
}

static int32_t even_part(int32_t v) { return v & ~1; }

static int valid_rel(int32_t d) { return d >= 2 && d <= 8 && (d & 1) == 0; }

static void fixfix(SbrFrameInfo *fi, int32_t n_env) {
  memset(fi, 0, sizeof(*fi));
  fi->frame_class = FIXFIX;
  fi->n_env = n_env;
  for (int32_t i = 0; i <= n_env; i++) fi->borders[i] = i * SBR_TIME_SLOTS / n_env;
  for (int32_t i = 0; i < n_env; i++) fi->freq_res[i] = 1;
  fi->short_env = -1;
}

/* transient plan of a frame that starts at s with the carried borders c (all below the transient) */
static void transient_plan(const SbrFrameGen *g, int32_t t, Plan *p) {
  const int32_t tb = g->lead_in + t;
  /* carried borders at or after the transient give way to the new plan */
  while (p->n > 1 && p->b[p->n - 1] >= tb) plan_remove(p, p->n - 1);
  int32_t last = p->b[p->n - 1];
  int32_t stretch = tb - last;
  if (stretch > g->dmax) {
    /* fill backwards from the transient with envelopes of one even length */
    int32_t e = 2, parts = 1;
    for (parts = 1; parts < 16; parts++) {
      e = even_part(stretch / parts);
      if (e < 2) e = 2;
      if (e > 8) e = 8;
      if (stretch - (parts - 1) * e <= g->dmax) break;
    }
    for (int32_t i = parts - 1; i >= 1; i--) plan_insert(p, p->n, tb - i * e, 1);
  } else if (stretch > 0 && stretch < g->dmin && p->n > 1) {
    plan_remove(p, p->n - 1); /* the short envelope before the transient joins its neighbour */
  }
  if (p->b[p->n - 1] < tb && (p->n > 1 || tb - p->b[0] >= g->dmin)) {
    plan_insert(p, p->n, tb, 0);
    p->tran = p->n - 1;
  } else {
    /* the transient falls on the frame start: the first envelope is the transient one */
    p->res[p->n - 1] = 0;
    p->tran = p->n - 1;
  }
  plan_insert(p, p->n, tb + 2, 0);
  plan_insert(p, p->n, tb + 6, 1);
  /* forward fill to twice the frame length */
  const int32_t end = 2 * g->slots;
  int32_t from = tb + 6, rest = end - from;
  int32_t limit = t < 4 ? 6 : (t < 6 ? 4 : 8);
  if (rest >= 1) {
    int32_t len = 2, parts;
    for (parts = 1; parts < 32; parts++) {
      len = even_part(rest / parts);
      if (len < 2) len = 2;
      if (len > limit) len = limit;
      if (rest - (parts - 1) * len <= g->dmax) break;
    }
    for (int32_t i = 1; i < parts; i++) plan_insert(p, p->n, from + i * len, 1);
    plan_insert(p, p->n, end, 1);
  }
}

/* Fits the borders p->b[0..last] (start s, end e) to the grid syntax of the class. */
static void fit(Plan *p, int32_t last, int32_t cls, SbrFrameInfo *fi) {
  int32_t keep[PLAN_MAX];
  int32_t n = 0, n0 = 0, n1 = 0;
  const int32_t lim1 = (cls == FIXVAR || cls == VARVAR) ? 3 : 0;
  const int32_t lim0 = (cls == VARFIX || cls == VARVAR) ? 3 : 0;
  /* backwards from the end */
  int32_t back[PLAN_MAX], nb = 0, j = last;
  while (nb < lim1 && j > 0 && valid_rel(p->b[j] - p->b[j - 1]) && j - 1 > 0) {
    back[nb++] = j - 1;
    j--;
  }
  n1 = nb;
  int32_t first_back = nb ? back[nb - 1] : last; /* lowest border reached from the end */
  /* forwards from the start, below the borders reached from the end */
  int32_t fwd[PLAN_MAX], nf = 0, total_lim = cls == VARVAR ? 4 : 3;
  j = 0;
  while (nf < lim0 && n1 + nf < total_lim && j + 1 < first_back && valid_rel(p->b[j + 1] - p->b[j])) {
    fwd[nf++] = j + 1;
    j++;
  }
  n0 = nf;
  keep[n++] = 0;
  for (int32_t i = 0; i < nf; i++) keep[n++] = fwd[i];
  for (int32_t i = nb - 1; i >= 0; i--) keep[n++] = back[i];
  keep[n++] = last;

  memset(fi, 0, sizeof(*fi));
  fi->frame_class = cls;
  fi->n_env = n - 1;
  fi->short_env = -1;
  for (int32_t i = 0; i < n; i++) fi->borders[i] = p->b[keep[i]];
  for (int32_t i = 0; i + 1 < n; i++) {
    /* an envelope that absorbed dropped borders is coded at high resolution */
    fi->freq_res[i] = keep[i + 1] == keep[i] + 1 ? p->res[keep[i]] : 1;
    if (p->tran == keep[i]) fi->short_env = i;
  }
  if (p->tran == last) fi->short_env = fi->n_env;
  if (p->tran >= 0 && fi->short_env < 0) {
    /* the transient border merged into the envelope before it */
    for (int32_t i = 0; i + 1 < n; i++)
      if (keep[i] < p->tran && keep[i + 1] > p->tran) fi->short_env = i;
  }
  fi->var_bord0 = p->b[0];
  fi->var_bord1 = p->b[last] - SBR_TIME_SLOTS;
  fi->n_rel0 = n0;
  fi->n_rel1 = n1;
  for (int32_t i = 0; i < n0; i++) fi->rel0[i] = fi->borders[i + 1] - fi->borders[i];
  for (int32_t i = 0; i < n1; i++) fi->rel1[i] = fi->borders[fi->n_env - i] - fi->borders[fi->n_env - i - 1];
  /* a transient envelope at the frame start is not signalled: its pointer would put the
   * middle noise border on the frame start */
  if (cls == VARFIX) fi->pointer = fi->short_env >= 1 ? fi->short_env + 1 : 0;
  else fi->pointer = fi->short_env < 1 ? 0 : fi->n_env + 1 - fi->short_env;
}

void sbrFrameInfoGenerate(SbrFrameGen *g, const SbrTransientInfo *tran, SbrFrameInfo *fi) {
  Plan p;
  memset(&p, 0, sizeof(p));
  p.tran = -1;
  int32_t cls;
  const int prev_fix_end = g->prev_class == FIXFIX || g->prev_class == VARFIX;
  g->prev_tran_slot += SBR_TIME_SLOTS;
  if (g->static_framing) {
    fixfix(fi, g->static_envs);
    cls = FIXFIX;
    g->n_carry = 0;
  } else if (!tran->flag && prev_fix_end) {
    fixfix(fi, tran->pos ? 2 : 1);
    cls = FIXFIX;
    g->n_carry = 0;
  } else {
    if (prev_fix_end || g->n_carry < 1) {
      p.n = 1;
      p.b[0] = 0;
      p.res[0] = 1;
      cls = tran->flag ? FIXVAR : VARFIX;
    } else {
      p.n = g->n_carry;
      for (int32_t i = 0; i < g->n_carry; i++) {
        p.b[i] = g->carry_border[i];
        p.res[i] = g->carry_res[i];
      }
      p.tran = g->carry_short;
      cls = tran->flag ? VARVAR : (g->spread ? VARVAR : VARFIX);
    }
    if (tran->flag) {
      g->spread = 0;
      transient_plan(g, tran->pos, &p);
      g->prev_tran_slot = g->lead_in + tran->pos;
    } else {
      g->spread = 0;
      if (p.b[p.n - 1] != SBR_TIME_SLOTS) {
        while (p.n > 1 && p.b[p.n - 1] > SBR_TIME_SLOTS) plan_remove(&p, p.n - 1);
        if (p.b[p.n - 1] < SBR_TIME_SLOTS) plan_insert(&p, p.n, SBR_TIME_SLOTS, 1);
      }
    }
    /* the frame ends at its first planned border at or after slot 16 (a fixed end: 16) */
    int32_t last = -1;
    for (int32_t i = 1; i < p.n; i++)
      if (p.b[i] >= SBR_TIME_SLOTS) {
        last = i;
        break;
      }
    if (cls == VARFIX) {
      for (int32_t i = 1; i < p.n; i++)
        if (p.b[i] == SBR_TIME_SLOTS) last = i;
    }
    if (last < 0 || p.b[last] > SBR_TIME_SLOTS + 3) {
      /* no border the grid can end on: end the frame at slot 16 */
      int32_t at = 1;
      while (at < p.n && p.b[at] < SBR_TIME_SLOTS) at++;
      plan_insert(&p, at, SBR_TIME_SLOTS, p.res[at - 1]);
      last = at;
    }
    fit(&p, last, cls, fi);
    if (tran->flag && g->allow_spread && p.tran >= 0 && p.tran + 2 > last) g->spread = 1;
    /* carry the rest of the plan */
    g->n_carry = 0;
    g->carry_short = -1;
    for (int32_t i = last; i < p.n && g->n_carry < 8; i++) {
      if (i == p.tran && i > last) g->carry_short = g->n_carry;
      g->carry_border[g->n_carry] = p.b[i] - SBR_TIME_SLOTS;
      g->carry_res[g->n_carry] = p.res[i];
      g->n_carry++;
    }
  }
  sbrFrameInfoFinish(fi);
  g->prev_class = fi->frame_class;
}

int sbrFrameInfoFinish(SbrFrameInfo *fi) {
  int32_t L = fi->n_env;
  int ok = L >= 1 && L <= SBR_MAX_ENV;
  for (int32_t i = 0; ok && i < L; i++) ok = fi->borders[i] < fi->borders[i + 1];
  switch (fi->frame_class) {
    case FIXFIX:
      ok = ok && (L == 1 || L == 2 || L == 4) && fi->borders[0] == 0 && fi->borders[L] == SBR_TIME_SLOTS;
      for (int32_t i = 1; ok && i < L; i++) ok = fi->freq_res[i] == fi->freq_res[0];
      break;
    case FIXVAR:
    case VARFIX:
    case VARVAR: {
      int32_t n0 = fi->frame_class == FIXVAR ? 0 : fi->n_rel0;
      int32_t n1 = fi->frame_class == VARFIX ? 0 : fi->n_rel1;
      ok = ok && n0 <= 3 && n1 <= 3 && n0 + n1 + 1 == L && fi->var_bord0 >= 0 && fi->var_bord0 <= 3 &&
           fi->var_bord1 >= 0 && fi->var_bord1 <= 3;
      if (fi->frame_class == FIXVAR) ok = ok && fi->borders[0] == 0;
      else ok = ok && fi->borders[0] == fi->var_bord0;
      if (fi->frame_class == VARFIX) ok = ok && fi->borders[L] == SBR_TIME_SLOTS;
      else ok = ok && fi->borders[L] == SBR_TIME_SLOTS + fi->var_bord1;
      for (int32_t i = 0; ok && i < n0; i++) ok = valid_rel(fi->rel0[i]);
      for (int32_t i = 0; ok && i < n1; i++) ok = valid_rel(fi->rel1[i]);
      int32_t pmax = 1;
      while ((1 << pmax) < L + 1) pmax++;
      ok = ok && fi->pointer >= 0 && fi->pointer < (1 << pmax);
      break;
    }
    default:
      ok = 0;
  }
  /* noise borders as the decoder derives them */
  fi->n_noise = L > 1 ? 2 : 1;
  fi->noise_borders[0] = fi->borders[0];
  fi->noise_borders[fi->n_noise] = fi->borders[L];
  if (fi->n_noise == 2) {
    int32_t m;
    switch (fi->frame_class) {
      case FIXFIX: m = L / 2; break;
      case VARFIX: m = fi->pointer == 0 ? 1 : (fi->pointer == 1 ? L - 1 : fi->pointer - 1); break;
      default: m = fi->pointer <= 1 ? L - 1 : L + 1 - fi->pointer; break;
    }
    if (m < 1 || m > L - 1) {
      ok = 0;
      m = L / 2;
    }
    fi->noise_borders[1] = fi->borders[m];
  }
  return ok ? 0 : 1;
}

/* A coupled pair sends one grid for both channels, so equal means the same grid: the class
 * too (a single fixed envelope is read at 1.5 dB, a single variable one at the header's
 * resolution) and the fields that say the borders and the pointer. */
int sbrFrameInfoEqual(const SbrFrameInfo *a, const SbrFrameInfo *b) {
  if (a->n_env != b->n_env || a->short_env != b->short_env || a->frame_class != b->frame_class) return 0;
  if (a->frame_class != FIXFIX &&
      (a->var_bord0 != b->var_bord0 || a->var_bord1 != b->var_bord1 || a->n_rel0 != b->n_rel0 ||
       a->n_rel1 != b->n_rel1 || a->pointer != b->pointer))
    return 0;
  for (int32_t i = 0; i <= a->n_env; i++)
    if (a->borders[i] != b->borders[i]) return 0;
  for (int32_t i = 0; i < a->n_env; i++)
    if (a->freq_res[i] != b->freq_res[i]) return 0;
  return 1;
}
